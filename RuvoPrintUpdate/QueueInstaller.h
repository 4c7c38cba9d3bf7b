#pragma once
// Creates one CUPS queue for every printer of "/tmp/ruvo_printerlist.ini" whose
// model is in the model table.
#include "PrinterList.h"
#include "UtilLog.h"

#include <QList>
#include <QString>
#include <QStringList>

// The CUPS model directory that holds the drivers of the supported models.
inline constexpr char c_szDriverDirectory[] = "Ruvo";

struct stQueueCommand {
    QStringList arguments; // lpadmin's arguments, one queue
    QString logText;       // the same command as a person would type it
};

// One lpadmin command per record whose model the table knows, in record order;
// other records are skipped.
QList<stQueueCommand> BuildAddQueueCommands(const QList<stPrinterInfo> &printers);

// Every record of the printer list at `path`, each URI without its enclosing
// quotes; the file is deleted after reading.
QList<stPrinterInfo> ReadInstallerPrinterList(const QString &path);
// The same for "/tmp/ruvo_printerlist.ini".
QList<stPrinterInfo> GetPrinterInfo();

void AddPrinter();

// Where this program's log goes (set in main).
stLogLocation QueueInstallerLogLocation();
