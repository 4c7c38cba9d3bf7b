#include "QueueRemover.h"

#include "ModelTable.h"
#include "RuvoPaths.h"
#include "UtilCommand.h"
#include "product_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr char kPpdDirectory[] = "/etc/cups/ppd/";
// PPD files of real drivers are a few hundred KiB; only this much of a file is searched.
constexpr qint64 kPpdSizeLimit = 16 * 1024 * 1024;

// The host part after "://" (which starts at `schemeEnd`), up to the next ":".
QString HostAfter(const QString &uri, int schemeEnd)
{
    const QString rest = uri.mid(schemeEnd + 3);
    const int colon = rest.indexOf(QLatin1Char(':'));
    return colon < 0 ? rest : rest.left(colon);
}

// The English form: "device for <queue>: <uri>".
std::optional<stPrinterInfo> ParseEnglishLine(const QString &line)
{
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 4)
        return std::nullopt;
    stPrinterInfo printer;
    printer.strModel.clear();
    printer.strName = parts[2].trimmed();
    printer.strName.chop(1); // the colon
    const QString uri = parts[3].trimmed();
    if (uri.startsWith(QLatin1String("usb"), Qt::CaseInsensitive)) {
        printer.iConnectType = c_iConnectTypeUsb;
        printer.strPort = uri.mid(6);
        printer.strURI = uri;
        return printer;
    }
    if (uri.startsWith(QLatin1String("socket"), Qt::CaseInsensitive) ||
        uri.startsWith(QLatin1String("ruvosocket"), Qt::CaseInsensitive)) {
        const int schemeEnd = uri.indexOf(QLatin1String("://"), 0, Qt::CaseInsensitive);
        if (schemeEnd < 0)
            return std::nullopt;
        printer.iConnectType = c_iConnectTypeNetwork;
        printer.strPort = HostAfter(uri, schemeEnd);
        printer.strURI = uri;
        return printer;
    }
    return std::nullopt;
}

// A translated line: the queue name is the second word and the URI sits in the third.
std::optional<stPrinterInfo> ParseTranslatedLine(const QString &line)
{
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 3)
        return std::nullopt;
    stPrinterInfo printer;
    printer.strModel.clear();
    printer.strName = parts[1].trimmed();
    const QString rest = parts[2].trimmed();
    const QLatin1String usbScheme("usb://");
    const int usb = rest.indexOf(usbScheme, 0, Qt::CaseInsensitive);
    if (usb >= 0) {
        printer.iConnectType = c_iConnectTypeUsb;
        printer.strPort = rest.mid(usb + usbScheme.size());
        printer.strURI = rest.mid(usb);
        return printer;
    }
    int found = rest.indexOf(QLatin1String("ruvosocket://"), 0, Qt::CaseInsensitive);
    if (found < 0)
        found = rest.indexOf(QLatin1String("socket://"), 0, Qt::CaseInsensitive);
    if (found < 0)
        return std::nullopt;
    printer.iConnectType = c_iConnectTypeNetwork;
    printer.strPort = HostAfter(rest, rest.indexOf(QLatin1String("://"), found));
    printer.strURI = rest.mid(found);
    return printer;
}

} // namespace

std::optional<stPrinterInfo> ParseLpstatLine(const QString &line)
{
    if (line.startsWith(QLatin1String("device for"), Qt::CaseInsensitive))
        return ParseEnglishLine(line);
    return ParseTranslatedLine(line);
}

QList<stPrinterInfo> ParseLpstatOutput(const QByteArray &output)
{
    QList<stPrinterInfo> printers;
    const QString text = QString::fromUtf8(output);
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (std::optional<stPrinterInfo> printer = ParseLpstatLine(line))
            printers.append(*printer);
    }
    return printers;
}

std::optional<QString> FindSupportedModelInPpd(const QByteArray &ppd)
{
    for (QByteArray line : ppd.split('\n')) {
        const int nul = line.indexOf('\0');
        if (nul >= 0)
            line.truncate(nul);
        const QString text = QString::fromLatin1(line);
        if (!text.startsWith(QLatin1String("*ModelName"), Qt::CaseInsensitive))
            continue;
        const QStringList parts = text.split(QLatin1Char(':'), Qt::SkipEmptyParts);
        if (parts.size() < 2)
            continue;
        QString value = parts[1].trimmed();
        if (value.startsWith(QLatin1Char('"')))
            value.remove(0, 1);
        if (value.endsWith(QLatin1Char('"')))
            value.chop(1);
        if (FindModelByName(value))
            return value;
    }
    return std::nullopt;
}

QString PpdPathForQueue(const QString &queueName)
{
    // CUPS allows no "/" in a queue name; a line that claims one is not
    // followed out of the PPD directory.
    if (queueName.isEmpty() || queueName.contains(QLatin1Char('/')) || queueName.contains(QChar(0)))
        return QString();
    return QLatin1String(kPpdDirectory) + queueName + QLatin1String(".ppd");
}

bool CheckDriverMatch(const QString &queueName, QString &modelName)
{
    const QString path = PpdPathForQueue(queueName);
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const std::optional<QString> model = FindSupportedModelInPpd(file.read(kPpdSizeLimit));
    if (!model)
        return false;
    modelName = *model;
    return true;
}

bool MakePathExist(const QString &path)
{
    QDir directory(path);
    if (directory.exists())
        return true;
    return directory.mkpath(QStringLiteral(".")) && directory.exists();
}

QList<stPrinterInfo> GetPrinterInfo(bool checkDriver)
{
    MakePathExist(RuvoPaths::ProductPath(ruvo_paths::kTempSubDir));
    // lpstat's output is read straight from its pipe; no working file is left
    // behind, and a failed lpstat gives no output, so nothing is found.
    const stCommandResult lpstat =
        RunCommand(QStringLiteral("lpstat"), {QStringLiteral("-v")}, true, enCommandLocale::C);
    QList<stPrinterInfo> printers;
    for (stPrinterInfo &printer : ParseLpstatOutput(lpstat.standardOutput)) {
        if (!checkDriver || CheckDriverMatch(printer.strName, printer.strModel))
            printers.append(printer);
    }
    return printers;
}

void DeletePrinter()
{
    for (const stPrinterInfo &printer : GetPrinterInfo(true))
        RunLpadmin({QStringLiteral("-x"), printer.strName});
}

stLogLocation QueueRemoverLogLocation()
{
    return ProductLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_un"));
}
