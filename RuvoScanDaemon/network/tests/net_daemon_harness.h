#pragma once
// Starts the scan daemon on a port of its own for a test and always stops it.

#include "net_sim_harness.h"
#include "scan_test_support.h"

#include <sstream>

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

    std::vector<pid_t> processes() const { return scan_test_support::daemonProcesses(SCAN_DAEMON, m_port); }

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
