#pragma once
// Starts the simulated network scanner for a test, waits until it listens and
// always stops it again.

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace net_test {

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string makeTempDir(const char *stem)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/" + stem + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    return buffer.data();
}

// Polls `ready` every 20 ms for up to `seconds`.
template <typename Ready>
bool waitFor(Ready ready, double seconds = 10.0)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

class Simulator {
public:
    Simulator(const std::string &address, const std::vector<std::string> &knobs) : m_address(address)
    {
        m_dir = makeTempDir("net-scanner-sim");
        std::vector<std::string> args = {NET_SCANNER_SIM, "--address", address, "--record-dir", m_dir,
                                         "--ready-file", m_dir + "/ready"};
        args.insert(args.end(), knobs.begin(), knobs.end());
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, NET_SCANNER_SIM, nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start the simulated scanner");
        struct stat info;
        if (!waitFor([&] { return stat((m_dir + "/ready").c_str(), &info) == 0 || exited(); })) {
            stop();
            throw std::runtime_error("the simulated scanner did not become ready");
        }
        if (m_pid < 0)
            throw std::runtime_error("the simulated scanner ended before it was ready");
    }
    ~Simulator() { stop(); }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    const std::string &dir() const { return m_dir; }
    std::string file(const std::string &name) const { return readFile(m_dir + "/" + name); }
    std::string events() const { return file("events.log"); }
    bool sawEvent(const std::string &name, double seconds = 10.0) const
    {
        return waitFor([&] { return events().find(name + "\n") != std::string::npos; }, seconds);
    }
    // The body of the n-th request (1-based, web and XML counted together).
    std::string requestBody(int number) const
    {
        std::string request = file("http-" + std::to_string(number) + ".txt");
        size_t end = request.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : request.substr(end + 4);
    }

    void stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        if (!waitFor([&] { return exited(); }, 5.0)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    bool exited()
    {
        if (m_pid <= 0)
            return true;
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        return false;
    }

    std::string m_address;
    std::string m_dir;
    pid_t m_pid = -1;
};

} // namespace net_test

#include <dirent.h>
#include <limits.h>

#include <algorithm>

namespace net_test {

// The scan daemon on a port of its own. It detaches itself, so its processes
// (listener, connection and data processes) are found by their binary and this
// run's port in their environment, and all of them are ended on stop.
class Daemon {
public:
    explicit Daemon(int port) : m_port(port)
    {
        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry)
            environment.push_back(*entry);
        environment.push_back("RUVO_SCAN_DAEMON_PORT=" + std::to_string(port));
        std::vector<char *> envp;
        for (std::string &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        char *argv[] = {const_cast<char *>(SCAN_DAEMON), nullptr};
        pid_t starter = -1;
        if (posix_spawn(&starter, SCAN_DAEMON, nullptr, nullptr, argv, envp.data()) != 0)
            throw std::runtime_error("cannot start the scan daemon");
        waitpid(starter, nullptr, 0); // returns once the daemon has detached
        if (!waitFor([&] { return !processes().empty() && listening(); })) {
            stop();
            throw std::runtime_error("the scan daemon did not start listening");
        }
    }
    ~Daemon() { stop(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    std::vector<pid_t> processes() const
    {
        std::vector<pid_t> found;
        char wanted[PATH_MAX] = {};
        if (!realpath(SCAN_DAEMON, wanted))
            return found;
        std::string marker = "RUVO_SCAN_DAEMON_PORT=" + std::to_string(m_port);
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

    void stop()
    {
        for (int pass = 0; pass < 3; ++pass)
            for (pid_t pid : processes())
                kill(pid, SIGKILL);
        waitFor([&] { return processes().empty(); }, 5.0);
    }

private:
    bool listening() const
    {
        // A line of the table: "sl local_address rem_address st ..."; a
        // listener has state 0A. Connections of earlier runs that linger in
        // TIME_WAIT name the port too, so the state matters.
        std::istringstream table(readFile("/proc/net/tcp"));
        char wanted[8];
        std::snprintf(wanted, sizeof(wanted), ":%04X", m_port);
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
                return true;
        }
        return false;
    }
    int m_port;
};

} // namespace net_test
