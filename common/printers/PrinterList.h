#pragma once
// The printer list file (INI, "Main"/"Count" and one "printer_<n>" section per
// printer). Each program reads it with the rule it needs: all records, or only
// those a filter keeps.
#include <QList>
#include <QString>

// What `iConnectType` holds: 1 is a USB printer, any other value a network one
// (the list's writer uses 2).
constexpr int c_iConnectTypeUsb = 1;
constexpr int c_iConnectTypeNetwork = 2;

struct stPrinterInfo {
    QString strName;           // the CUPS queue name
    QString strModel = "-1";   // model display name
    int iConnectType = 0;      // c_iConnectTypeUsb, anything else network
    QString strPort;           // network: address; USB: text carrying "serial=<number>"
    QString strURI;            // CUPS device URI
};

bool operator==(const stPrinterInfo &a, const stPrinterInfo &b);

inline bool IsUsbConnection(int connectType)
{
    return connectType == c_iConnectTypeUsb;
}

// Reads `path`; records in section-number order. A missing file, or "Count"
// missing, not a number or not above 0, gives an empty list.
QList<stPrinterInfo> ReadPrinterList(const QString &path);
// The same, keeping only the records for which `keep` is true.
using PrinterFilter = bool (*)(const stPrinterInfo &printer);
QList<stPrinterInfo> ReadPrinterList(const QString &path, PrinterFilter keep);

// Filters: printers on USB, any model; printers on USB whose model has a
// network interface (those whose network settings can be changed over USB).
bool IsUsbPrinter(const stPrinterInfo &printer);
bool IsUsbPrinterOfNetworkModel(const stPrinterInfo &printer);

// The model splits at single blanks into exactly two parts and the second
// contains a capital N.
bool IsNetworkCapableModel(const QString &modelName);

// Drops one leading and one trailing double quote, each only where present.
QString StripUriQuotes(QString uri);
