#pragma once
// The daemon's clients as a user runs them: SANE's scanimage with the built
// backend, and the command-line scan client. Each run is measured: its exit
// status, how long it took and its peak resident memory.

#include <functional>
#include <string>
#include <vector>

struct FrontEnds {
    std::string backendDir; // the folder holding libsane-ruvo.so.1
    std::string scanClient;
    // A sanitizer runtime scanimage gets preloaded (it is built without one);
    // empty in a plain build.
    std::string preload;
    bool ci = false;
    std::function<void(const std::string &, const std::string &, const std::string &, const std::string &, bool)>
        report;
};

struct Measured {
    int status = -1;        // exit status; -1 when it was stopped at its limit or died of a signal
    double seconds = 0;
    long peakKiB = 0;       // ru_maxrss of the process
    std::string output;     // its standard output
    std::string errors;     // its standard error
};

// Runs `arguments` with the environment plus `extra`, stopped (SIGKILL) after
// `limitSeconds`.
Measured RunMeasured(const std::vector<std::string> &arguments, const std::vector<std::string> &extra,
                     double limitSeconds);

// The environment scanimage loads only the built backend with: a SANE
// configuration folder `configDir` (dll.conf naming ruvo, and `ruvoConf` as
// ruvo.conf) and the backend's folder first in the library path.
std::vector<std::string> SaneEnvironment(const FrontEnds &frontEnds, const std::string &configDir,
                                         const std::string &ruvoConf);

// While no daemon runs, another user plays one on the local socket's path and
// on loopback TCP: the clients must not talk to it and must give up in time.
void FakeListenerScenarios(const FrontEnds &frontEnds);
