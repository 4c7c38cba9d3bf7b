#include "ProcessTable.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <unistd.h>

namespace {

constexpr int kCommandNameLength = 15; // the kernel keeps 15 characters of a command name

} // namespace

QList<stProcessEntry> ReadProcessTable(const QString &procRoot)
{
    QList<stProcessEntry> table;
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const int pid = entry.toInt(&isNumber);
        if (!isNumber || pid <= 0)
            continue;
        QFile comm(procRoot + "/" + entry + "/comm");
        if (!comm.open(QIODevice::ReadOnly))
            continue; // the process ended meanwhile
        QByteArray name = comm.read(64);
        if (name.endsWith('\n'))
            name.chop(1);
        table.append({static_cast<pid_t>(pid), QString::fromUtf8(name)});
    }
    return table;
}

bool CommandMatchesProgram(const QString &command, const QString &programName)
{
    if (command.isEmpty() || command.size() > kCommandNameLength)
        return false;
    return command.compare(programName.left(kCommandNameLength), Qt::CaseInsensitive) == 0;
}

int CountProcessesNamed(const QList<stProcessEntry> &table, const QString &programName)
{
    int count = 0;
    for (const stProcessEntry &entry : table) {
        if (CommandMatchesProgram(entry.strCommand, programName))
            ++count;
    }
    return count;
}

int SignalProcessesNamed(const QString &programName, int signalNumber, const QString &procRoot)
{
    int signalled = 0;
    const pid_t self = getpid();
    for (const stProcessEntry &entry : ReadProcessTable(procRoot)) {
        if (entry.pid == self || !CommandMatchesProgram(entry.strCommand, programName))
            continue;
        if (::kill(entry.pid, signalNumber) == 0)
            ++signalled;
    }
    return signalled;
}
