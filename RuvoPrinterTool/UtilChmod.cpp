#include "UtilChmod.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t c_modeUserDirectory = 0755;
}

mode_t WithoutSharedWrite(mode_t mode)
{
    return mode & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
}

void ChmodFile(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0 || S_ISLNK(status.st_mode) || status.st_uid != ::geteuid())
        return;
    const mode_t current = status.st_mode & 07777;
    const mode_t wanted = WithoutSharedWrite(current);
    if (wanted != current) {
        // Fails with EOPNOTSUPP should the entry have become a link meanwhile.
        ::fchmodat(AT_FDCWD, name.constData(), wanted, AT_SYMLINK_NOFOLLOW);
    }
}

void ChmodVendorPath(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return;
    ChmodFile(path);
    const QDir directory(path);
    for (const QString &name : directory.entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                                       | QDir::NoDotAndDotDot,
                                                   QDir::Unsorted))
        ChmodFile(directory.filePath(name));
    for (const QString &name : directory.entryList(QDir::Dirs | QDir::Hidden | QDir::NoSymLinks
                                                       | QDir::NoDotAndDotDot,
                                                   QDir::Unsorted))
        ChmodVendorPath(directory.absoluteFilePath(name));
}

bool MakeUserDirectory(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    // Each missing component in turn, from the top; QDir::mkpath would create
    // them with 0777 less the umask, which a umask of 0 leaves open to all.
    for (int slash = clean.indexOf('/', 1); ; slash = clean.indexOf('/', slash + 1)) {
        const QByteArray partial = QFile::encodeName(slash < 0 ? clean : clean.left(slash));
        if (::mkdir(partial.constData(), c_modeUserDirectory) != 0 && errno != EEXIST)
            return false;
        if (slash < 0)
            break;
    }
    struct stat status {};
    return ::stat(QFile::encodeName(clean).constData(), &status) == 0 && S_ISDIR(status.st_mode);
}
