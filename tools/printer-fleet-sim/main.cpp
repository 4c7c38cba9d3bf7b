// ruvoK40Service: a simulated printer fleet standing in for the vendor's
// background service. It writes the printer list, one status file per printer
// (rewritten only when that printer's reply changes) and the heartbeat.
//
//   ruvoK40Service [--scenario file | --preset name] [--cfg-dir dir] [--list-presets]
#include "FleetScenario.h"
#include "RuvoPaths.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t s_stop = 0;
void OnStopSignal(int) { s_stop = 1; }

constexpr int c_iTickMs = 50;
constexpr qint64 c_iHeartbeatMs = 2000;

// Readers see the old file or the new one, never a part: the bytes go to a
// temporary file in the same directory, which then replaces the target.
bool WriteFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".tmp." + QByteArray::number(getpid());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n <= 0)
            break;
        written += n;
    }
    const bool ok = written == bytes.size() && ::fchmod(fd, 0644) == 0;
    ::close(fd);
    if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: ruvoK40Service [--scenario file | --preset name] [--cfg-dir dir] [--list-presets]\n"
                 "  default: --preset default --cfg-dir %s\n",
                 qPrintable(RuvoPaths::CfgDir()));
}

class FleetFiles
{
public:
    explicit FleetFiles(const QString &cfgDir) : m_dir(cfgDir.endsWith('/') ? cfgDir : cfgDir + '/') {}

    // Writes whatever differs from what is on disk from this process's view.
    void Sync(const QList<stSimPrinter> &fleet)
    {
        const QByteArray list = BuildPrinterListIni(fleet);
        if (list != m_writtenList && WriteFileAtomically(m_dir + "printerlist.ini", list))
            m_writtenList = list;

        QSet<QString> present;
        for (const stSimPrinter &printer : fleet) {
            if (!printer.bOnline)
                continue;
            present.insert(printer.strName);
            const QByteArray reply = BuildSimStatusReply(printer);
            if (m_writtenReplies.value(printer.strName) != reply
                && WriteFileAtomically(StatusPath(printer.strName), reply))
                m_writtenReplies.insert(printer.strName, reply);
        }
        for (auto it = m_writtenReplies.begin(); it != m_writtenReplies.end();) {
            if (present.contains(it.key())) {
                ++it;
                continue;
            }
            QFile::remove(StatusPath(it.key()));
            it = m_writtenReplies.erase(it);
        }
    }

    void Heartbeat()
    {
        WriteFileAtomically(m_dir + "service.hb", QByteArray::number(QDateTime::currentSecsSinceEpoch()) + "\n");
    }

private:
    QString StatusPath(const QString &name) const { return m_dir + name + ".dat"; }

    QString m_dir;
    QByteArray m_writtenList;
    QHash<QString, QByteArray> m_writtenReplies;
};

} // namespace

int main(int argc, char **argv)
{
    QString scenarioText = PresetText("default");
    QString cfgDir = RuvoPaths::CfgDir();
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (argument == "--list-presets") {
            for (const QString &name : PresetNames())
                std::printf("%s\n", qPrintable(name));
            return 0;
        } else if (argument == "--preset" && hasValue) {
            scenarioText = PresetText(QString::fromLocal8Bit(argv[++i]));
            if (scenarioText.isEmpty()) {
                std::fprintf(stderr, "ruvoK40Service: unknown preset %s\n", argv[i]);
                return 2;
            }
        } else if (argument == "--scenario" && hasValue) {
            QFile file(QString::fromLocal8Bit(argv[++i]));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "ruvoK40Service: cannot read %s\n", argv[i]);
                return 2;
            }
            scenarioText = QString::fromUtf8(file.readAll());
        } else if (argument == "--cfg-dir" && hasValue) {
            cfgDir = QString::fromLocal8Bit(argv[++i]);
        } else {
            Usage();
            return 2;
        }
    }

    QString error;
    const std::optional<stScenario> scenario = ParseScenario(scenarioText, &error);
    if (!scenario) {
        std::fprintf(stderr, "ruvoK40Service: scenario %s\n", qPrintable(error));
        return 2;
    }
    if (!QDir().mkpath(cfgDir)) {
        std::fprintf(stderr, "ruvoK40Service: cannot create %s\n", qPrintable(cfgDir));
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    FleetFiles files(cfgDir);
    QList<stSimPrinter> fleet = scenario->listInitial;
    int nextEvent = 0;
    QElapsedTimer round;
    round.start();
    QElapsedTimer heartbeat;
    files.Heartbeat();
    heartbeat.start();
    std::printf("ruvoK40Service: simulating %d printer(s) in %s\n", fleet.size(), qPrintable(cfgDir));
    std::fflush(stdout);

    while (!s_stop) {
        if (scenario->iRepeatMs > 0 && round.elapsed() >= scenario->iRepeatMs) {
            fleet = scenario->listInitial;
            nextEvent = 0;
            round.restart();
        }
        const qint64 now = round.elapsed();
        while (nextEvent < scenario->listEvents.size() && scenario->listEvents[nextEvent].iAtMs <= now)
            ApplyEvent(fleet, scenario->listEvents[nextEvent++]);
        files.Sync(fleet);
        if (heartbeat.elapsed() >= c_iHeartbeatMs) {
            files.Heartbeat();
            heartbeat.restart();
        }
        usleep(c_iTickMs * 1000);
    }
    return 0;
}
