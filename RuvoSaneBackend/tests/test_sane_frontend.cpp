// A front end calling the backend's entry points directly (no scanimage), for
// what a command-line front end cannot show: a connection the daemon closed
// while idle, a cancel from another thread while sane_read waits, the record
// stream read on while the front end pauses between pages, a cancel after the
// scanner has delivered pages nobody read, and the device's failures.
//
// RUVO_FRONTEND_SCANNERS=net runs the network rows (the daemon runs on its
// own, so this runs under ThreadSanitizer too); =usb the USB rows (the daemon
// inside the emulated USB scanner, whose preload is not instrumented).

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

extern "C" {
SANE_Status sane_ruvo_init(SANE_Int *, SANE_Auth_Callback);
void sane_ruvo_exit(void);
SANE_Status sane_ruvo_get_devices(const SANE_Device ***, SANE_Bool);
SANE_Status sane_ruvo_open(SANE_String_Const, SANE_Handle *);
void sane_ruvo_close(SANE_Handle);
const SANE_Option_Descriptor *sane_ruvo_get_option_descriptor(SANE_Handle, SANE_Int);
SANE_Status sane_ruvo_control_option(SANE_Handle, SANE_Int, SANE_Action, void *, SANE_Int *);
SANE_Status sane_ruvo_get_parameters(SANE_Handle, SANE_Parameters *);
SANE_Status sane_ruvo_start(SANE_Handle);
SANE_Status sane_ruvo_read(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *);
void sane_ruvo_cancel(SANE_Handle);
}

namespace {

const QString kBuild = qEnvironmentVariable("RUVO_BUILD_DIR");
const char kScanDir[] = "/opt/ruvo/k40_series_printer/scan";
const char kSerial[] = "RV402A0001";

template <typename Condition>
bool eventually(Condition condition, int limitMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < limitMs) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

QStringList pageFiles()
{
    return QDir(kScanDir).entryList({"ruvoscandata_*"}, QDir::Files);
}

bool portOpen(const char *address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &peer.sin_addr);
    bool open = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)) == 0;
    if (fd >= 0)
        close(fd);
    return open;
}

// The daemon's local socket (RUVO_SCAN_SOCKET, set by the isolated run) takes connections.
bool localSocketOpen()
{
    QByteArray path = qgetenv("RUVO_SCAN_SOCKET");
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof(peer.sun_path))
        return false;
    std::memcpy(peer.sun_path, path.constData(), size_t(path.size()));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool open = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)) == 0;
    if (fd >= 0)
        close(fd);
    return open;
}

struct ProcessInfo {
    pid_t pid;
    pid_t parent;
    QString name;
};

QList<ProcessInfo> processes()
{
    QList<ProcessInfo> all;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        pid_t pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        QByteArray line = stat.readAll();
        int open = line.indexOf('('), close = line.lastIndexOf(')');
        if (open < 0 || close < 0)
            continue;
        QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (rest.size() < 2 || rest[0] == "Z")
            continue;
        all.append({pid, static_cast<pid_t>(rest[1].toInt()), QString::fromUtf8(line.mid(open + 1, close - open - 1))});
    }
    return all;
}

// The processes below this one (the daemon, detached, is adopted by this
// process as its subreaper). Other processes of the machine are never looked at.
QList<ProcessInfo> descendants()
{
    QList<ProcessInfo> all = processes();
    QSet<pid_t> below{getpid()};
    QList<ProcessInfo> found;
    bool grew = true;
    while (grew) {
        grew = false;
        for (const ProcessInfo &info : all)
            if (below.contains(info.parent) && !below.contains(info.pid)) {
                below.insert(info.pid);
                found.append(info);
                grew = true;
            }
    }
    return found;
}

// The daemon's connection processes: children of the listening daemon process.
QList<pid_t> connectionProcesses()
{
    QList<ProcessInfo> all = descendants();
    QSet<pid_t> daemons;
    for (const ProcessInfo &info : all)
        if (info.name == "RuvoScanDaemon")
            daemons.insert(info.pid);
    QList<pid_t> connections;
    for (const ProcessInfo &info : all) {
        // A connection process's parent is the daemon, whose own parent is not a daemon.
        if (!daemons.contains(info.pid) || !daemons.contains(info.parent))
            continue;
        pid_t grandparent = -1;
        for (const ProcessInfo &parent : all)
            if (parent.pid == info.parent)
                grandparent = parent.parent;
        if (!daemons.contains(grandparent))
            connections.append(info.pid);
    }
    return connections;
}

// A data process of the daemon (a child of a connection process) is running.
bool dataProcessRunning()
{
    QList<pid_t> connections = connectionProcesses();
    for (const ProcessInfo &info : descendants())
        if (info.name == "RuvoScanDaemon" && connections.contains(info.parent))
            return true;
    return false;
}

pid_t spawn(const QStringList &arguments)
{
    std::vector<std::string> storage;
    for (const QString &argument : arguments)
        storage.push_back(argument.toStdString());
    std::vector<char *> argv;
    for (std::string &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Ends every process below this one (the daemon detaches, but this process is
// its subreaper) and reaps them.
void endDescendants()
{
    for (int round = 0; round < 100; ++round) {
        QSet<pid_t> below;
        for (const ProcessInfo &info : descendants())
            below.insert(info.pid);
        for (pid_t pid : below)
            kill(pid, round == 0 ? SIGTERM : SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (below.isEmpty())
            return;
        QThread::msleep(50);
    }
}

// The daemon (inside the emulated USB scanner for USB rows) and simulated
// network scanners; everything ends with the object.
class Rig {
public:
    // USB knobs go to the emulated USB scanner, which runs only for `usb`.
    Rig(const QStringList &usbKnobs, const QList<QPair<QString, QStringList>> &simulators, bool usb)
    {
        QDir().mkpath("/tmp/frontend-record");
        if (usb)
            spawn(QStringList{kBuild + "/tools/usb-scanner-emulator/usb-scanner-emulator", "--chart", "--device",
                              QString("7a3e:0405:") + kSerial, "--record-dir", "/tmp/frontend-record"} +
                  usbKnobs + QStringList{"--", kBuild + "/RuvoScanDaemon/RuvoScanDaemon"});
        else
            spawn({kBuild + "/RuvoScanDaemon/RuvoScanDaemon"});
        for (const auto &simulator : simulators) {
            QString folder = "/tmp/frontend-sim-" + simulator.first;
            QDir().mkpath(folder);
            spawn(QStringList{kBuild + "/tools/net-scanner-sim/net-scanner-sim", "--chart", "--address",
                              simulator.first, "--record-dir", folder} +
                  simulator.second);
        }
        m_ready = eventually([&] {
            if (!localSocketOpen())
                return false;
            for (const auto &simulator : simulators)
                if (!portOpen(simulator.first.toUtf8().constData(), 2080))
                    return false;
            return true;
        });
    }
    ~Rig() { endDescendants(); }
    bool ready() const { return m_ready; }

private:
    bool m_ready = false;
};

void setString(SANE_Handle handle, const char *name, const char *value)
{
    for (SANE_Int option = 1;; ++option) {
        const SANE_Option_Descriptor *descriptor = sane_ruvo_get_option_descriptor(handle, option);
        if (!descriptor)
            break;
        if (descriptor->name && std::strcmp(descriptor->name, name) == 0) {
            std::vector<char> text(static_cast<size_t>(descriptor->size), 0);
            std::strncpy(text.data(), value, text.size() - 1);
            QCOMPARE(sane_ruvo_control_option(handle, option, SANE_ACTION_SET_VALUE, text.data(), nullptr),
                     SANE_STATUS_GOOD);
            return;
        }
    }
    QFAIL(name);
}

void setNumber(SANE_Handle handle, const char *name, SANE_Word value)
{
    for (SANE_Int option = 1;; ++option) {
        const SANE_Option_Descriptor *descriptor = sane_ruvo_get_option_descriptor(handle, option);
        if (!descriptor)
            break;
        if (descriptor->name && std::strcmp(descriptor->name, name) == 0) {
            QCOMPARE(sane_ruvo_control_option(handle, option, SANE_ACTION_SET_VALUE, &value, nullptr),
                     SANE_STATUS_GOOD);
            return;
        }
    }
    QFAIL(name);
}

// Sets a small grey scan of `source`.
void chooseSmallGrey(SANE_Handle handle, const char *source, double widthMm, double heightMm, int dpi = 75)
{
    setString(handle, SANE_NAME_SCAN_SOURCE, source);
    setString(handle, SANE_NAME_SCAN_MODE, SANE_VALUE_SCAN_MODE_GRAY);
    setNumber(handle, SANE_NAME_SCAN_RESOLUTION, dpi);
    setNumber(handle, SANE_NAME_SCAN_TL_X, 0);
    setNumber(handle, SANE_NAME_SCAN_TL_Y, 0);
    setNumber(handle, SANE_NAME_SCAN_BR_X, SANE_FIX(widthMm));
    setNumber(handle, SANE_NAME_SCAN_BR_Y, SANE_FIX(heightMm));
}

// Reads one frame to its end; returns the last status and the byte count.
SANE_Status readFrame(SANE_Handle handle, qint64 &bytes)
{
    std::vector<SANE_Byte> buffer(32768);
    bytes = 0;
    while (true) {
        SANE_Int length = 0;
        SANE_Status status = sane_ruvo_read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
        bytes += length;
        if (status != SANE_STATUS_GOOD)
            return status;
    }
}

bool usbRows()
{
    return qEnvironmentVariable("RUVO_FRONTEND_SCANNERS") == "usb";
}

} // namespace

class TestSaneFrontend : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectionClosedWhileIdleIsReopened();
    void cancelFromAnotherThreadWhileReadWaits();
    void recordsAreReadWhileTheFrontEndPauses();
    void cancelAfterTheScannerDeliveredUnreadPages();
    void scannerFailuresAsSaneCodes_data();
    void scannerFailuresAsSaneCodes();
    void unlistedNetworkNamesAreRefused();
};

void TestSaneFrontend::initTestCase()
{
    if (qEnvironmentVariable("RUVO_ISOLATED") != "1")
        QFAIL("needs the isolated run (scripts/isolated-run)");
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    QDir().mkpath("/tmp/frontend-conf");
    QFile conf("/tmp/frontend-conf/ruvo.conf");
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("127.0.0.2\n127.0.0.3\n127.0.0.4\n127.0.0.5\n127.0.0.6\n");
    conf.close();
    qputenv("SANE_CONFIG_DIR", "/tmp/frontend-conf");
    SANE_Int version = 0;
    QCOMPARE(sane_ruvo_init(&version, nullptr), SANE_STATUS_GOOD);
    QCOMPARE(SANE_VERSION_MAJOR(version), 1);
}

void TestSaneFrontend::cleanupTestCase()
{
    sane_ruvo_exit();
    endDescendants();
}

void TestSaneFrontend::connectionClosedWhileIdleIsReopened()
{
    Rig rig({"--pages", "1"}, {{"127.0.0.2", {}}}, usbRows());
    QVERIFY(rig.ready());
    const char *name = usbRows() ? "usb:0405:RV402A0001" : "net:127.0.0.2";
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open(name, &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, "Flatbed", 40, 30);
    // The daemon ends an idle connection's process; here it is ended outright.
    QVERIFY(eventually([] { return connectionProcesses().size() == 1; }));
    for (pid_t pid : connectionProcesses())
        kill(pid, SIGKILL);
    QVERIFY(eventually([] { return connectionProcesses().isEmpty(); }));
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    SANE_Parameters parameters;
    QCOMPARE(sane_ruvo_get_parameters(handle, &parameters), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QCOMPARE(bytes, qint64(parameters.bytes_per_line) * parameters.lines);
    QCOMPARE(parameters.lines, 89); // 30 mm at 75 dpi
    sane_ruvo_cancel(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
    sane_ruvo_close(handle);
}

void TestSaneFrontend::cancelFromAnotherThreadWhileReadWaits()
{
    if (usbRows())
        QSKIP("an abort beside the emulated scanner's running read is not something the emulation can serve");
    Rig rig({}, {{"127.0.0.3", {"--block-sizes", "2000", "--block-delay-ms", "40"}}}, false);
    QVERIFY(rig.ready());
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open("net:127.0.0.3", &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, "Flatbed", 200, 250, 150);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    std::atomic<bool> reading{true};
    std::atomic<int> lastStatus{SANE_STATUS_GOOD};
    // The front end's reading thread; the cancel comes from this one, as a
    // front end's signal handler or button would send it.
    std::thread reader([&] {
        qint64 bytes = 0;
        lastStatus = readFrame(handle, bytes);
        reading = false;
    });
    QVERIFY(eventually([] { return !pageFiles().isEmpty(); }));
    QThread::msleep(200);
    QElapsedTimer timer;
    timer.start();
    sane_ruvo_cancel(handle);
    bool ended = eventually([&] { return !reading.load(); }, 20000);
    if (!ended)
        sane_ruvo_close(handle); // unblocks nothing, but the test must not hang the join
    reader.join();
    QVERIFY(ended);
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(lastStatus.load(), int(SANE_STATUS_CANCELLED));
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
    // The scanner is free again.
    chooseSmallGrey(handle, "Flatbed", 20, 5);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
}

void TestSaneFrontend::recordsAreReadWhileTheFrontEndPauses()
{
    // Many small blocks: three pages bring thousands of 16-byte records, far
    // more than the daemon's send buffer holds.
    Rig rig({"--pages", "3", "--chunk-bytes", "200"}, {{"127.0.0.4", {"--pages", "3", "--block-sizes", "200"}}},
            usbRows());
    QVERIFY(rig.ready());
    const char *name = usbRows() ? "usb:0405:RV402A0001" : "net:127.0.0.4";
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open(name, &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, "ADF", 100, 355.6);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    SANE_Parameters parameters;
    QCOMPARE(sane_ruvo_get_parameters(handle, &parameters), SANE_STATUS_GOOD);
    QCOMPARE(parameters.lines, -1); // a feeder page
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QCOMPARE(bytes % parameters.bytes_per_line, qint64(0));
    // The front end pauses; the scanner delivers the other two sheets meanwhile.
    QVERIFY(eventually([] { return pageFiles().size() == 2; }));
    QVERIFY(eventually([] { return connectionProcesses().size() == 1; }));
    // Every record read: the daemon's data process has sent its last one and ended.
    QVERIFY(eventually([] { return !dataProcessRunning(); }));
    for (int page = 1; page < 3; ++page) {
        QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
        QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    }
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_NO_DOCS);
    QVERIFY(pageFiles().isEmpty());
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
}

void TestSaneFrontend::cancelAfterTheScannerDeliveredUnreadPages()
{
    Rig rig({"--pages", "3"}, {{"127.0.0.5", {"--pages", "3"}}}, usbRows());
    QVERIFY(rig.ready());
    const char *name = usbRows() ? "usb:0405:RV402A0001" : "net:127.0.0.5";
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open(name, &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, "ADF", 100, 100);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QVERIFY(eventually([] { return pageFiles().size() == 2; }));
    // The emulated USB scanner cannot serve an abort beside the daemon's
    // running read: there the cancel comes once the scanner is done.
    if (usbRows())
        QVERIFY(eventually([] { return !dataProcessRunning(); }));
    sane_ruvo_cancel(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 10000));
    SANE_Byte byte;
    SANE_Int length = 0;
    QCOMPARE(sane_ruvo_read(handle, &byte, 1, &length), SANE_STATUS_CANCELLED);
    // A new batch starts from the first sheet again.
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    if (usbRows())
        QVERIFY(eventually([] { return !dataProcessRunning(); }));
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 40000));
}

void TestSaneFrontend::scannerFailuresAsSaneCodes_data()
{
    QTest::addColumn<QStringList>("knobs");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("startStatus"); // of the first start
    // Of the second page's start or, when that starts, its first read (GOOD:
    // no second page asked for).
    QTest::addColumn<int>("laterStatus");
    QTest::addRow("busy") << (usbRows() ? QStringList{"--lock-busy"} : QStringList{"--result", "91"}) << "Flatbed"
                          << int(SANE_STATUS_DEVICE_BUSY) << int(SANE_STATUS_GOOD);
    QTest::addRow("feeder empty") << QStringList{"--pages", "0"} << "ADF" << int(SANE_STATUS_NO_DOCS)
                                  << int(SANE_STATUS_GOOD);
    QTest::addRow("jam on the second sheet") << QStringList{"--pages", "3", "--jam-on-page", "1"} << "ADF"
                                             << int(SANE_STATUS_GOOD) << int(SANE_STATUS_JAMMED);
}

void TestSaneFrontend::scannerFailuresAsSaneCodes()
{
    QFETCH(QStringList, knobs);
    QFETCH(QString, source);
    QFETCH(int, startStatus);
    QFETCH(int, laterStatus);
    Rig rig(usbRows() ? knobs : QStringList(), {{"127.0.0.6", usbRows() ? QStringList() : knobs}}, usbRows());
    QVERIFY(rig.ready());
    const char *name = usbRows() ? "usb:0405:RV402A0001" : "net:127.0.0.6";
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open(name, &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, source.toUtf8().constData(), 50, 50);
    QCOMPARE(int(sane_ruvo_start(handle)), startStatus);
    if (startStatus == SANE_STATUS_GOOD) {
        qint64 bytes = 0;
        QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
        SANE_Status later = sane_ruvo_start(handle);
        if (later == SANE_STATUS_GOOD && laterStatus != SANE_STATUS_GOOD)
            later = readFrame(handle, bytes);
        QCOMPARE(int(later), laterStatus);
    }
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 10000));
}

void TestSaneFrontend::unlistedNetworkNamesAreRefused()
{
    Rig rig({}, {{"127.0.0.2", {}}, {"127.0.0.7", {}}}, false);
    QVERIFY(rig.ready());
    // 127.0.0.7 answers like any scanner, but neither ruvo.conf nor the
    // printer list names it: a name from a remote front end cannot reach it.
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open("net:127.0.0.7", &handle), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_open("net:10.1.2.3", &handle), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_open("net:127.0.0.2", &handle), SANE_STATUS_GOOD);
    sane_ruvo_close(handle);
}

QTEST_GUILESS_MAIN(TestSaneFrontend)
#include "test_sane_frontend.moc"
