#include "ProcessTable.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <unistd.h>

namespace {

constexpr int kCommandNameLength = 15; // the kernel keeps 15 characters of a command name

} // namespace

QList<stProcessEntry> ReadProcessTable(const QString &procRoot, enProcessOwners owners)
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
        // A process whose owner cannot be read counts by its name alone (the
        // watchdog), never as a copy of a given user.
        std::optional<uid_t> uid;
        if (owners == enProcessOwners::Read) {
            QFile status(procRoot + "/" + entry + "/status");
            if (status.open(QIODevice::ReadOnly))
                uid = RealUidFromStatus(status.read(4096));
        }
        table.append({static_cast<pid_t>(pid), QString::fromUtf8(name), uid});
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

int CountProcessesNamed(const QList<stProcessEntry> &table, const QString &programName, uid_t uid)
{
    int count = 0;
    for (const stProcessEntry &entry : table) {
        if (entry.uid == uid && CommandMatchesProgram(entry.strCommand, programName))
            ++count;
    }
    return count;
}

std::optional<uid_t> RealUidFromStatus(const QByteArray &statusText)
{
    for (const QByteArray &line : statusText.split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
        bool isNumber = false;
        const qulonglong uid = fields.value(0).toULongLong(&isNumber);
        if (!isNumber || uid > static_cast<qulonglong>(static_cast<uid_t>(-1)))
            return std::nullopt;
        return static_cast<uid_t>(uid);
    }
    return std::nullopt;
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
