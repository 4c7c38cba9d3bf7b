#pragma once
// Deletes every CUPS queue whose driver file names a supported model, whatever
// its connection. Queues are learnt from `lpstat -v`, models from the
// "*ModelName" line of each queue's PPD file.
#include "PrinterList.h"
#include "UtilLog.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One line of `lpstat -v`. Gives a record (name, connection type 1 for USB or
// 2 for socket, port, URI) for USB and socket queues; nullopt for any other line.
std::optional<stPrinterInfo> ParseLpstatLine(const QString &line);
// Every queue line of a whole `lpstat -v` output (UTF-8), in output order.
QList<stPrinterInfo> ParseLpstatOutput(const QByteArray &output);

// The first "*ModelName" value of a PPD file that names a model of the table,
// as written in the file; nullopt when none does.
std::optional<QString> FindSupportedModelInPpd(const QByteArray &ppd);

// "/etc/cups/ppd/" + queue name + ".ppd"; empty for a name that would lead
// out of that directory.
QString PpdPathForQueue(const QString &queueName);

// True when the queue's PPD file names a model of the table; the display name
// as the file writes it is then stored in `modelName`.
bool CheckDriverMatch(const QString &queueName, QString &modelName);

// Creates `path` with its missing parents; whether it exists afterwards.
bool MakePathExist(const QString &path);

// The USB and socket queues that `lpstat -v` lists; with `checkDriver` only
// those whose driver names a supported model.
QList<stPrinterInfo> GetPrinterInfo(bool checkDriver);

void DeletePrinter();

// Where this program's log goes (set in main).
stLogLocation QueueRemoverLogLocation();
