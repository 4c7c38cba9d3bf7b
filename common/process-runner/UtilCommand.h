#pragma once
// Running the CUPS tools and starting the service without a shell: every
// argument reaches the program exactly as given, so queue names and URIs with
// quotes, "$", backquotes, backslashes or blanks stay data and no command line
// length limit applies. Shared by the queue tools, the watchdog and the tray
// application.
#include <QByteArray>
#include <QString>
#include <QStringList>

struct stCommandResult {
    bool bStarted = false;  // false when the program could not be started at all
    int iExitStatus = -1;   // the exit code, or -1 when it ended by a signal
    bool bTimedOut = false; // stopped because it ran past its time limit
    QByteArray standardOutput; // only filled when asked for
};

enum class enCommandLocale {
    Inherited,
    // LC_ALL, LC_MESSAGES and LANG set to C: the CUPS tools translate their
    // lines otherwise, and they read LC_MESSAGES before LC_ALL.
    C,
};

// Runs `program` (looked up in PATH) with `arguments`, standard input from
// /dev/null, standard error inherited, and waits for it to end. Standard output
// is collected when `captureOutput` is true, otherwise inherited.
stCommandResult RunCommand(const QString &program, const QStringList &arguments,
                           bool captureOutput, enCommandLocale locale = enCommandLocale::Inherited);

// As RunCommand without capturing output, but a program still running after
// `timeLimitMs` is killed (SIGKILL) and reaped; bTimedOut then tells so.
stCommandResult RunCommandWithin(const QString &program, const QStringList &arguments, int timeLimitMs);

// The one way the queue tools call lpadmin.
stCommandResult RunLpadmin(const QStringList &arguments);

// Starts `program` without arguments as the shell's "nohup program &> /dev/null &"
// would: in a session of its own, with its input and output on /dev/null, and not
// as our child (an intermediate process ends at once, so the program is adopted
// and reaped by the system and never lingers as our zombie). Returns whether the
// program could be started.
bool StartDetached(const QString &program);
