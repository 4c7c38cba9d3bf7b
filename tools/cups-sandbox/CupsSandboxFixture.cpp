#include "CupsSandboxFixture.h"

#include "UtilCommand.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

const QString kSandboxDirectory = QStringLiteral("/tmp/cups-sandbox");
const QString kModelDirectory = QStringLiteral("/usr/share/cups/model");
const QString kServerRoot = QStringLiteral("/etc/cups");

QString MountTmpfs(const QString &target)
{
    if (!QDir(target).exists())
        return target + QStringLiteral(" does not exist (is cups installed?)");
    if (mount("ruvo-test-cups", target.toLocal8Bit().constData(), "tmpfs", 0, "mode=0755") != 0)
        return QStringLiteral("cannot mount a tmpfs over %1: %2").arg(target, QString::fromLocal8Bit(std::strerror(errno)));
    return QString();
}

} // namespace

CupsSandboxFixture::~CupsSandboxFixture()
{
    Stop();
}

QString CupsSandboxFixture::Start()
{
    if (qgetenv("RUVO_ISOLATED") != "1")
        return QStringLiteral("needs the private mount namespace of scripts/isolated-run");
    for (const QString &directory : {kServerRoot, kModelDirectory}) {
        const QString failure = MountTmpfs(directory);
        if (!failure.isEmpty())
            return failure;
    }
    const QString driverDirectory = kModelDirectory + QStringLiteral("/Ruvo");
    QDir().mkpath(driverDirectory);
    const QDir standIns(QStringLiteral(RUVO_STAND_IN_PPD_DIR));
    const QStringList driverFiles = standIns.entryList({QStringLiteral("*.ppd")}, QDir::Files);
    if (driverFiles.isEmpty())
        return QStringLiteral("no stand-in driver files in ") + standIns.path();
    for (const QString &file : driverFiles) {
        if (!QFile::copy(standIns.filePath(file), driverDirectory + QLatin1Char('/') + file))
            return QStringLiteral("cannot copy ") + file;
    }

    qputenv("CUPS_SANDBOX_SERVER_ROOT", kServerRoot.toLocal8Bit());
    const stCommandResult started = RunCommand(QStringLiteral(RUVO_CUPS_SANDBOX_SCRIPT),
                                               {QStringLiteral("start"), kSandboxDirectory}, true);
    if (!started.bStarted || started.iExitStatus != 0)
        return QStringLiteral("the private cupsd did not start");
    m_bRunning = true;
    qputenv("CUPS_SERVER", started.standardOutput.trimmed());
    return QString();
}

void CupsSandboxFixture::Stop()
{
    if (!m_bRunning)
        return;
    RunCommand(QStringLiteral(RUVO_CUPS_SANDBOX_SCRIPT), {QStringLiteral("stop"), kSandboxDirectory}, false);
    m_bRunning = false;
}

QByteArray CupsSandboxFixture::ListQueues()
{
    return RunCommand(QStringLiteral("lpstat"), {QStringLiteral("-v")}, true, enCommandLocale::C).standardOutput;
}

QMap<QString, QString> CupsSandboxFixture::QueueDevices()
{
    QMap<QString, QString> devices;
    static const QRegularExpression line(QStringLiteral("^device for (\\S+): (.*)$"),
                                         QRegularExpression::MultilineOption);
    auto matches = line.globalMatch(QString::fromUtf8(ListQueues()));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        devices.insert(match.captured(1), match.captured(2));
    }
    return devices;
}

QByteArray CupsSandboxFixture::InstalledPpd(const QString &queueName)
{
    QFile file(kServerRoot + QStringLiteral("/ppd/") + queueName + QStringLiteral(".ppd"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void CupsSandboxFixture::DeleteAllQueues()
{
    for (const QString &queue : QueueDevices().keys())
        RunLpadmin({QStringLiteral("-x"), queue});
}
