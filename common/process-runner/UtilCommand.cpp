#include "UtilCommand.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

bool IsLocaleVariable(const char *entry)
{
    for (const char *name : {"LC_ALL=", "LC_MESSAGES=", "LANG="}) {
        if (std::strncmp(entry, name, std::strlen(name)) == 0)
            return true;
    }
    return false;
}

std::vector<std::string> BuildEnvironment(enCommandLocale locale)
{
    std::vector<std::string> entries;
    for (char **entry = environ; entry && *entry; ++entry) {
        if (locale == enCommandLocale::C && IsLocaleVariable(*entry))
            continue;
        entries.emplace_back(*entry);
    }
    if (locale == enCommandLocale::C) {
        entries.emplace_back("LC_ALL=C");
        entries.emplace_back("LC_MESSAGES=C");
        entries.emplace_back("LANG=C");
    }
    return entries;
}

std::vector<char *> PointersTo(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WaitForExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return ExitCode(status);
}

// Waits up to `timeLimitMs` for `pid`; kills and reaps it when it is still
// running then. Polls: a thread cannot wait for one child with a time limit
// otherwise without touching the process's signal handling.
void WaitForExitWithin(pid_t pid, int timeLimitMs, stCommandResult &result)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.iExitStatus = ExitCode(status);
            return;
        }
        if (done < 0 && errno != EINTR)
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            WaitForExit(pid);
            result.bTimedOut = true;
            result.iExitStatus = -1;
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// Starts `program` as RunCommand describes; the write end of `outputPipe` (when
// given) becomes its standard output. -1 when it could not be started.
pid_t Spawn(const QString &program, const QStringList &arguments, enCommandLocale locale,
            const int *outputPipe)
{
    std::vector<std::string> argumentStrings;
    argumentStrings.push_back(program.toLocal8Bit().toStdString());
    for (const QString &argument : arguments)
        argumentStrings.push_back(argument.toLocal8Bit().toStdString());
    std::vector<char *> argv = PointersTo(argumentStrings);
    std::vector<std::string> environmentStrings = BuildEnvironment(locale);
    std::vector<char *> envp = PointersTo(environmentStrings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputPipe)
        posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);

    pid_t pid = -1;
    const int spawnError = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawnError == 0 ? pid : -1;
}

} // namespace

stCommandResult RunCommand(const QString &program, const QStringList &arguments,
                           bool captureOutput, enCommandLocale locale)
{
    stCommandResult result;
    int outputPipe[2] = {-1, -1};
    if (captureOutput && pipe2(outputPipe, O_CLOEXEC) != 0)
        return result;

    const pid_t pid = Spawn(program, arguments, locale, captureOutput ? outputPipe : nullptr);
    if (captureOutput)
        close(outputPipe[1]);
    if (pid < 0) {
        if (captureOutput)
            close(outputPipe[0]);
        return result;
    }
    result.bStarted = true;

    if (captureOutput) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(outputPipe[0], buffer, sizeof buffer);
            if (got > 0)
                result.standardOutput.append(buffer, static_cast<int>(got));
            else if (got == 0 || errno != EINTR)
                break;
        }
        close(outputPipe[0]);
    }
    result.iExitStatus = WaitForExit(pid);
    return result;
}

stCommandResult RunCommandWithin(const QString &program, const QStringList &arguments, int timeLimitMs)
{
    stCommandResult result;
    const pid_t pid = Spawn(program, arguments, enCommandLocale::Inherited, nullptr);
    if (pid < 0)
        return result;
    result.bStarted = true;
    WaitForExitWithin(pid, timeLimitMs, result);
    return result;
}

stCommandResult RunLpadmin(const QStringList &arguments)
{
    return RunCommand(QStringLiteral("lpadmin"), arguments, false);
}

bool StartDetached(const QString &program)
{
    // Everything the children need is prepared before fork: after it only
    // async-signal-safe calls are made.
    const QByteArray path = program.toLocal8Bit();
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};

    int statusPipe[2];
    if (pipe2(statusPipe, O_CLOEXEC) != 0)
        return false;

    const pid_t intermediate = fork();
    if (intermediate < 0) {
        close(statusPipe[0]);
        close(statusPipe[1]);
        return false;
    }
    if (intermediate == 0) {
        close(statusPipe[0]);
        setsid();
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
            if (devNull > STDERR_FILENO)
                close(devNull);
        }
        const pid_t service = fork();
        if (service == 0) {
            execv(argv[0], argv);
            // Only reached when exec failed: tell the waiting parent through the
            // pipe (which exec would have closed).
            const char failed = 1;
            (void)!write(statusPipe[1], &failed, 1);
            _exit(127);
        }
        _exit(service < 0 ? 1 : 0);
    }
    close(statusPipe[1]);
    const int intermediateStatus = WaitForExit(intermediate);
    // The pipe reaches end of file once exec succeeded (close on exec) or the
    // service process ended; one byte means exec failed.
    char failed = 0;
    ssize_t got;
    do {
        got = read(statusPipe[0], &failed, 1);
    } while (got < 0 && errno == EINTR);
    close(statusPipe[0]);
    return intermediateStatus == 0 && got == 0;
}
