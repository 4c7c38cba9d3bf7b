#pragma once
// Minimal driver (PPD) files for the supported models. The real drivers come
// with the maker's driver package; these stand in for them on machines without
// it, so queues of the supported models can be created for tests and demos.
// Each is a raw queue: the printer gets the job's bytes unchanged.
#include "ModelTable.h"

#include <QByteArray>

QByteArray BuildStandInPpd(const stModelInfo &model);
