#pragma once
// Starts the simulated network scanner for a test, waits until it listens and
// always stops it again.

#include "scan_test_support.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace net_test {

using scan_test_support::readFile;

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
        // A port of this address may still be held for a moment by a connection
        // of an earlier test that the kernel has not finished closing; the
        // simulator then ends at once and says why on stderr. One more try.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (start(knobs))
                return;
            std::fprintf(stderr, "  the simulated scanner on %s ended before it was ready\n", address.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        throw std::runtime_error("the simulated scanner ended before it was ready");
    }
    ~Simulator() { stop(); }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

private:
    bool start(const std::vector<std::string> &knobs)
    {
        std::vector<std::string> args = {NET_SCANNER_SIM, "--address", m_address, "--record-dir", m_dir,
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
        return m_pid > 0;
    }

public:
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
