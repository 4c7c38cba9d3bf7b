#include "QueueInstaller.h"

#include "ModelTable.h"
#include "product_paths.h"
#include "RuvoPaths.h"
#include "UtilCommand.h"
#include "UtilLog.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

stInstallerList Refused(const QString &problem)
{
    stInstallerList list;
    list.enState = enInstallerList::Refused;
    list.strProblem = problem;
    return list;
}

// The INI reader wants a path: the checked bytes go to a file of a private
// folder of our own, never back to the shared one.
QList<stPrinterInfo> ParseListBytes(const QByteArray &bytes)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QString copy = folder.filePath(QStringLiteral("printerlist.ini"));
    QFile file(copy);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    return ReadPrinterList(copy);
}

void PrintError(const QString &text)
{
    std::fprintf(stderr, "RuvoPrintUpdate: %s\n", text.toLocal8Bit().constData());
}

} // namespace

QList<stQueueCommand> BuildAddQueueCommands(const QList<stPrinterInfo> &printers)
{
    QList<stQueueCommand> commands;
    for (const stPrinterInfo &printer : printers) {
        const QString driverFile = GetPPDFile(printer.strModel);
        if (driverFile.isEmpty())
            continue;
        const QString model = QLatin1String(c_szDriverDirectory) + QLatin1Char('/') + driverFile;
        // -E after -p enables the queue and lets it accept jobs (before -p it
        // would ask for encryption instead).
        stQueueCommand command;
        command.strQueue = printer.strName;
        command.arguments = QStringList{QStringLiteral("-p"), printer.strName, QStringLiteral("-E"),
                             QStringLiteral("-v"), printer.strURI, QStringLiteral("-m"), model};
        command.logText = QStringLiteral("lpadmin -p \"%1\" -E -v \"%2\" -m \"%3\"")
                              .arg(printer.strName, printer.strURI, model);
        commands.append(command);
    }
    return commands;
}

QString CheckInstallerListFile(const struct stat &status, uid_t requiredOwner)
{
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("not a regular file");
    if (status.st_uid != requiredOwner)
        return QStringLiteral("owned by uid %1, not by uid %2").arg(status.st_uid).arg(requiredOwner);
    // Root's file that anyone else may rewrite is no more root's word than theirs.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("writable by group or others (mode %1)").arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    if (status.st_size > c_iMaxInstallerListBytes)
        return QStringLiteral("larger than %1 bytes").arg(c_iMaxInstallerListBytes);
    return {};
}

stInstallerList ReadInstallerPrinterList(const QString &path, uid_t requiredOwner)
{
    // O_NONBLOCK: a pipe planted under the name must not hold the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return Refused(QStringLiteral("a symbolic link"));
        return Refused(QString::fromLocal8Bit(std::strerror(errno)));
    }
    // The file object owns the descriptor from here on and closes it.
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Refused(file.errorString());
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return Refused(QString::fromLocal8Bit(std::strerror(errno)));
    const QString problem = CheckInstallerListFile(status, requiredOwner);
    if (!problem.isEmpty())
        return Refused(problem);

    // One byte more than allowed: a file that grew after the check is noticed.
    const QByteArray bytes = file.read(c_iMaxInstallerListBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return Refused(file.errorString());
    if (bytes.size() > c_iMaxInstallerListBytes)
        return Refused(QStringLiteral("larger than %1 bytes").arg(c_iMaxInstallerListBytes));

    stInstallerList list;
    list.enState = enInstallerList::Accepted;
    list.device = status.st_dev;
    list.inode = status.st_ino;
    list.printers = ParseListBytes(bytes);
    for (stPrinterInfo &printer : list.printers)
        printer.strURI = StripUriQuotes(printer.strURI);
    return list;
}

bool RemoveInstallerPrinterList(const QString &path, const stInstallerList &list)
{
    if (list.enState != enInstallerList::Accepted)
        return false;
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0 || status.st_dev != list.device || status.st_ino != list.inode)
        return false;
    return ::unlink(name.constData()) == 0;
}

int AddPrinter(const QString &path, uid_t requiredOwner)
{
    const stInstallerList list = ReadInstallerPrinterList(path, requiredOwner);
    if (list.enState == enInstallerList::Missing)
        return 0;
    if (list.enState == enInstallerList::Refused) {
        PrintError(QStringLiteral("refusing %1: %2; it was neither read nor deleted").arg(path, list.strProblem));
        return 1;
    }

    int failures = 0;
    for (const stQueueCommand &command : BuildAddQueueCommands(list.printers)) {
        // lpadmin says why on standard error itself; this line names the queue.
        const stCommandResult result = RunLpadmin(command.arguments);
        RUVO_LOG_TEXT(command.logText);
        if (!result.bStarted) {
            PrintError(QStringLiteral("could not start lpadmin for the queue \"%1\"").arg(command.strQueue));
            ++failures;
        } else if (result.iExitStatus != 0) {
            PrintError(QStringLiteral("lpadmin could not create the queue \"%1\" (exit status %2)")
                           .arg(command.strQueue)
                           .arg(result.iExitStatus));
            ++failures;
        }
    }
    if (failures > 0) {
        PrintError(QStringLiteral("%1 queue(s) not created; %2 is kept for another run").arg(failures).arg(path));
        return 1;
    }
    // The installer consumes its list once every queue exists, also when it
    // named no printer.
    RemoveInstallerPrinterList(path, list);
    return 0;
}

int AddPrinter()
{
    return AddPrinter(RuvoPaths::InstallerPrinterListFile(), 0);
}

stLogLocation QueueInstallerLogLocation()
{
    return ProductLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_update"));
}
