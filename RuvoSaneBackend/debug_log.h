#pragma once
// Lines on stderr when SANE_DEBUG_RUVO is set (its value is the level; any
// value at all shows the errors), as SANE's own backends do.

#include "backend_config.h"

#include <string>
#include <vector>

namespace ruvo_sane {

int DebugLevel();
void Debug(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The lines of the configuration file `path` that name no scanner address,
// each said once in the life of the process however often the file is read.
void ReportRefusedConfigLines(const std::string &path, const std::vector<RefusedConfigLine> &lines);

inline constexpr int kDebugError = 1;
inline constexpr int kDebugInfo = 3;
inline constexpr int kDebugTrace = 5;

} // namespace ruvo_sane
