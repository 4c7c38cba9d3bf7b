#include "PrinterList.h"

#include <QFile>
#include <QSettings>

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

bool Keep(stPrinterInfo &record, enPrinterListReader reader)
{
    switch (reader) {
    case enPrinterListReader::TrayApplication:
        return true;
    case enPrinterListReader::FirmwareUpdater:
        return record.iConnectType == 1;
    case enPrinterListReader::NetworkTool:
        return record.iConnectType == 1 && IsNetworkCapableModel(record.strModel);
    case enPrinterListReader::QueueInstaller:
        record.strURI = StripUriQuotes(record.strURI);
        return true;
    }
    return true;
}

} // namespace

QList<stPrinterInfo> ReadPrinterList(const QString &path, enPrinterListReader reader)
{
    QList<stPrinterInfo> printers;
    if (!QFile::exists(path))
        return printers;

    {
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
            if (Keep(record, reader))
                printers.append(record);
        }
    }

    // The installer consumes its list: it is deleted after reading, also when
    // it named no printer.
    if (reader == enPrinterListReader::QueueInstaller)
        QFile::remove(path);
    return printers;
}
