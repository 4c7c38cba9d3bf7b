#include "QueueInstaller.h"

#include "ModelTable.h"
#include "product_paths.h"
#include "RuvoPaths.h"
#include "UtilCommand.h"
#include "UtilLog.h"

#include <QFile>

QList<stQueueCommand> BuildAddQueueCommands(const QList<stPrinterInfo> &printers)
{
    QList<stQueueCommand> commands;
    for (const stPrinterInfo &printer : printers) {
        const QString driverFile = GetPPDFile(printer.strModel);
        if (driverFile.isEmpty())
            continue;
        const QString model = QLatin1String(c_szDriverDirectory) + QLatin1Char('/') + driverFile;
        // -E after -p enables the queue and lets it accept jobs (before -p it
        // would ask for encryption instead).
        stQueueCommand command;
        command.arguments = QStringList{QStringLiteral("-p"), printer.strName, QStringLiteral("-E"),
                             QStringLiteral("-v"), printer.strURI, QStringLiteral("-m"), model};
        command.logText = QStringLiteral("lpadmin -p \"%1\" -E -v \"%2\" -m \"%3\"")
                              .arg(printer.strName, printer.strURI, model);
        commands.append(command);
    }
    return commands;
}

QList<stPrinterInfo> ReadInstallerPrinterList(const QString &path)
{
    QList<stPrinterInfo> printers = ReadPrinterList(path);
    for (stPrinterInfo &printer : printers)
        printer.strURI = StripUriQuotes(printer.strURI);
    // The installer consumes its list: it is deleted after reading, also when
    // it named no printer.
    QFile::remove(path);
    return printers;
}

QList<stPrinterInfo> GetPrinterInfo()
{
    return ReadInstallerPrinterList(RuvoPaths::InstallerPrinterListFile());
}

void AddPrinter()
{
    for (const stQueueCommand &command : BuildAddQueueCommands(GetPrinterInfo())) {
        // lpadmin reports its own failures on standard error; like before, the
        // outcome does not change what happens to the other printers.
        RunLpadmin(command.arguments);
        RUVO_LOG_TEXT(command.logText);
    }
}

stLogLocation QueueInstallerLogLocation()
{
    return ProductLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_update"));
}
