#pragma once
// The rig of the tests that call the backend's entry points as a front end
// does: the daemon (inside the emulated USB scanner for USB runs) and
// simulated network scanners as child processes of the test, found and
// ended through this process's own descendants only, and the option and
// read helpers a front end would have.
//
// RUVO_FRONTEND_SCANNERS=net runs the network rows (the daemon runs on its
// own, so they run under ThreadSanitizer too); =usb the USB rows (the daemon
// inside the emulated USB scanner, whose preload is not instrumented).

#include "product_paths.h"

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
SANE_Status sane_ruvo_set_io_mode(SANE_Handle, SANE_Bool);
SANE_Status sane_ruvo_get_select_fd(SANE_Handle, SANE_Int *);
}

namespace sane_rig {

inline const QString kBuild = qEnvironmentVariable("RUVO_BUILD_DIR");
inline const char *const kScanDir = ruvo_paths::kScanDir;
inline const char kSerial[] = "RV402A0001";

template <typename Condition>
inline bool eventually(Condition condition, int limitMs = 30000)
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

inline QStringList pageFiles()
{
    return QDir(kScanDir).entryList({"ruvoscandata_*"}, QDir::Files);
}

// Something takes connections at `address`.
inline bool accepts(int family, const sockaddr *address, socklen_t length)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool open = fd >= 0 && ::connect(fd, address, length) == 0;
    if (fd >= 0)
        close(fd);
    return open;
}

inline bool portOpen(const char *address, int port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &peer.sin_addr);
    return accepts(AF_INET, reinterpret_cast<sockaddr *>(&peer), sizeof(peer));
}

// The daemon's local socket (RUVO_SCAN_SOCKET, set by the isolated run) takes connections.
inline bool localSocketOpen()
{
    QByteArray path = qgetenv("RUVO_SCAN_SOCKET");
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof(peer.sun_path))
        return false;
    std::memcpy(peer.sun_path, path.constData(), size_t(path.size()));
    return accepts(AF_UNIX, reinterpret_cast<sockaddr *>(&peer), sizeof(peer));
}

struct ProcessInfo {
    pid_t pid;
    pid_t parent;
    QString name;
};

inline QList<ProcessInfo> processes()
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
inline QList<ProcessInfo> descendants()
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
inline QList<pid_t> connectionProcesses()
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
inline bool dataProcessRunning()
{
    QList<pid_t> connections = connectionProcesses();
    for (const ProcessInfo &info : descendants())
        if (info.name == "RuvoScanDaemon" && connections.contains(info.parent))
            return true;
    return false;
}

inline pid_t spawn(const QStringList &arguments)
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
inline void endDescendants()
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

inline void setString(SANE_Handle handle, const char *name, const char *value)
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

inline void setNumber(SANE_Handle handle, const char *name, SANE_Word value)
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
inline void chooseSmallGrey(SANE_Handle handle, const char *source, double widthMm, double heightMm, int dpi = 75)
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
inline SANE_Status readFrame(SANE_Handle handle, qint64 &bytes)
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

inline bool usbRows()
{
    return qEnvironmentVariable("RUVO_FRONTEND_SCANNERS") == "usb";
}

// A front end's start in the isolated run: this process adopts the daemon
// (its subreaper), ruvo.conf in `folder` names `addresses`, and the backend
// is initialised. Empty when that worked, else why not.
inline QString startFrontEnd(const QString &folder, const QByteArray &addresses)
{
    if (qEnvironmentVariable("RUVO_ISOLATED") != "1")
        return "needs the isolated run (scripts/isolated-run)";
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    QDir().mkpath(folder);
    QFile conf(folder + "/ruvo.conf");
    if (!conf.open(QIODevice::WriteOnly) || conf.write(addresses) != addresses.size())
        return "cannot write " + conf.fileName();
    conf.close();
    qputenv("SANE_CONFIG_DIR", folder.toUtf8());
    SANE_Int version = 0;
    if (sane_ruvo_init(&version, nullptr) != SANE_STATUS_GOOD || SANE_VERSION_MAJOR(version) != 1)
        return "sane_init failed";
    return {};
}

// Opens the scanner of this run: the emulated USB scanner, or the network
// scanner at `address`.
inline SANE_Handle openRunScanner(const char *address)
{
    SANE_Handle handle = nullptr;
    QString name = usbRows() ? QString("usb:0405:") + kSerial : QString("net:") + address;
    if (sane_ruvo_open(name.toUtf8().constData(), &handle) != SANE_STATUS_GOOD)
        return nullptr;
    return handle;
}

} // namespace sane_rig
