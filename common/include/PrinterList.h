#pragma once
// The printer list file (INI, "Main"/"Count" and one "printer_<n>" section per
// printer) and the readers of the programs that use it.
#include <QList>
#include <QString>

struct stPrinterInfo {
    QString strName;           // the CUPS queue name
    QString strModel = "-1";   // model display name
    int iConnectType = 0;      // 1 USB, anything else network
    QString strPort;           // network: address; USB: text carrying "serial=<number>"
    QString strURI;            // CUPS device URI
};

bool operator==(const stPrinterInfo &a, const stPrinterInfo &b);

// Whose rules apply to the records read.
enum class enPrinterListReader {
    TrayApplication, // all records
    NetworkTool,     // USB printers of network-capable models
    FirmwareUpdater, // USB printers
    QueueInstaller,  // all records, URI quotes stripped, file deleted after reading
};

// Reads `path` with the reader's rules; records in section-number order. A
// missing file, or "Count" missing, not a number or not above 0, gives an empty list.
QList<stPrinterInfo> ReadPrinterList(const QString &path, enPrinterListReader reader);

// The network tool's rule: the model splits at single blanks into exactly two
// parts and the second contains a capital N.
bool IsNetworkCapableModel(const QString &modelName);

// Drops one leading and one trailing double quote, each only where present.
QString StripUriQuotes(QString uri);
