#pragma once
// Pieces the scan daemon's tests and its benchmark share: whole-file reads,
// finding the processes of one daemon run, and a test program's one-time setup.

#include <dirent.h>
#include <csignal>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace scan_test_support {

// The file's bytes; "" when it cannot be read.
inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes `content` as the whole file.
inline void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Creates `path` and its missing parents (mode 0755).
inline void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

// True for any directory entry, a dangling symbolic link included.
inline bool exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// The daemon detaches itself, so its processes (listener, connection and data
// processes) are those running `binary` with this run's `port` in their
// environment ("RUVO_SCAN_DAEMON_PORT=<port>").
inline std::vector<pid_t> daemonProcesses(const char *binary, int port)
{
    std::vector<pid_t> found;
    char wanted[PATH_MAX] = {};
    if (!realpath(binary, wanted))
        return found;
    std::string marker = "RUVO_SCAN_DAEMON_PORT=" + std::to_string(port);
    DIR *proc = opendir("/proc");
    if (!proc)
        return found;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string base = std::string("/proc/") + entry->d_name;
        char exe[PATH_MAX] = {};
        ssize_t length = readlink((base + "/exe").c_str(), exe, sizeof(exe) - 1);
        if (length <= 0 || std::string(exe, static_cast<size_t>(length)) != wanted)
            continue;
        std::string environment = readFile(base + "/environ");
        std::replace(environment.begin(), environment.end(), '\0', '\n');
        if (environment.find(marker + "\n") != std::string::npos)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

// The children of `parent` that have not ended (zombies left out).
inline std::vector<pid_t> liveChildren(pid_t parent)
{
    std::vector<pid_t> found;
    std::string list = readFile("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (size_t position = 0; position < list.size();) {
        size_t end = list.find(' ', position);
        if (end == std::string::npos)
            end = list.size();
        pid_t child = std::atoi(list.substr(position, end - position).c_str());
        std::string stat = readFile("/proc/" + std::to_string(child) + "/stat");
        size_t close = stat.rfind(')');
        if (child > 0 && close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z')
            found.push_back(child);
        position = end + 1;
    }
    return found;
}

// Once per test program: the folders of the logs and the pages made, the logs
// opened in theirs by `openLogs`, and SIGPIPE ignored (a closed peer must show
// as a failed send, never end the test).
inline void prepareOnce(const std::string &logs, const std::string &scanDir, bool (*openLogs)(const char *))
{
    static bool done = false;
    if (done)
        return;
    done = true;
    makeDirectories(logs);
    makeDirectories(scanDir);
    openLogs(logs.c_str());
    signal(SIGPIPE, SIG_IGN);
}

} // namespace scan_test_support

// ---- the stress program's pieces (run as root, in namespaces of its own) ----

#include <grp.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace scan_test_support {

// Polls `condition` every 20 ms for up to `seconds`; its last value.
template <typename Condition>
bool waitFor(Condition condition, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// Drops every group and becomes `uid` (its own group too), for good.
inline bool becomeUser(uid_t uid)
{
    return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
}

// Runs `body` in a child process as `uid`; its return value is the child's
// exit status (125: the child could not become `uid`).
template <typename Body>
int asUser(uid_t uid, Body body)
{
    pid_t child = fork();
    if (child == 0)
        _exit(becomeUser(uid) ? body() : 125);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

} // namespace scan_test_support
