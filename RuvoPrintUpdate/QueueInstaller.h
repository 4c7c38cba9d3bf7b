#pragma once
// Creates one CUPS queue for every printer of "/tmp/ruvo_printerlist.ini" whose
// model is in the model table.
#include "PrinterList.h"

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

// Every record of the installer's printer list; the file is deleted after reading.
QList<stPrinterInfo> GetPrinterInfo();

void AddPrinter();
