#include "PrinterList.h"

#include <QFile>
#include <QSettings>

#include <algorithm>

bool operator==(const stPrinterInfo &a, const stPrinterInfo &b)
{
    return a.strName == b.strName && a.strModel == b.strModel && a.iConnectType == b.iConnectType
           && a.strPort == b.strPort && a.strURI == b.strURI;
}

bool IsNetworkCapableModel(const QString &modelName)
{
    const QStringList parts = modelName.split(' ', Qt::KeepEmptyParts);
    return parts.size() == 2 && parts.at(1).contains('N', Qt::CaseSensitive);
}

QString StripUriQuotes(QString uri)
{
    if (uri.startsWith('"'))
        uri.remove(0, 1);
    if (uri.endsWith('"'))
        uri.chop(1);
    return uri;
}

namespace {

// QSettings turns an unquoted value with a comma into a list; such a value is
// still one text (a URI may carry commas).
QString TextValue(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(',');
    return value.toString();
}

} // namespace

QList<stPrinterInfo> ReadPrinterList(const QString &path)
{
    QList<stPrinterInfo> printers;
    if (!QFile::exists(path))
        return printers;

    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("utf-8");
    const int count = settings.value("Main/Count").toInt();
    for (int i = 0; i < count; ++i) {
        settings.beginGroup(QString("printer_%1").arg(i));
        stPrinterInfo record;
        record.strName = TextValue(settings, "Name");
        record.strModel = TextValue(settings, "Model");
        record.iConnectType = settings.value("ConnectType").toInt();
        record.strPort = TextValue(settings, "Port");
        record.strURI = TextValue(settings, "URI");
        settings.endGroup();
        printers.append(record);
    }
    return printers;
}

QList<stPrinterInfo> ReadPrinterList(const QString &path, PrinterFilter keep)
{
    QList<stPrinterInfo> printers = ReadPrinterList(path);
    printers.erase(std::remove_if(printers.begin(), printers.end(),
                                  [keep](const stPrinterInfo &printer) { return !keep(printer); }),
                   printers.end());
    return printers;
}

bool IsUsbPrinter(const stPrinterInfo &printer)
{
    return IsUsbConnection(printer.iConnectType);
}

bool IsUsbPrinterOfNetworkModel(const stPrinterInfo &printer)
{
    return IsUsbPrinter(printer) && IsNetworkCapableModel(printer.strModel);
}
