#pragma once
// Scenarios with real distinct users: the daemon runs as the scan service runs
// it (its own account, no capability, no new privileges) inside an emulated
// USB scanner, and two ordinary users are its clients.

#include <sys/types.h>

#include <functional>
#include <string>

// The two ordinary users: plain uids without accounts.
inline constexpr uid_t kStressScanningUser = 64001;
inline constexpr uid_t kStressOtherUser = 64002;

struct MultiUserRun {
    std::string daemon;
    std::string emulator;
    bool ci = false;
    // One measured value: scenario, measure, value, bound, whether it held.
    std::function<void(const std::string &, const std::string &, const std::string &, const std::string &, bool)>
        report;
};

void RunMultiUserScenarios(const MultiUserRun &run);
