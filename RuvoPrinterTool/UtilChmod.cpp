#include "UtilChmod.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace {
constexpr mode_t c_modeOpen = 0777;
}

void ChmodFile(const QString &path)
{
    // Fails with EOPNOTSUPP on a link itself, which is what we want.
    ::fchmodat(AT_FDCWD, QFile::encodeName(path).constData(), c_modeOpen, AT_SYMLINK_NOFOLLOW);
}

void ChmodVendorPath(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return;
    ChmodFile(path);
    // Like the shell's "*": every entry but the hidden ones.
    const QDir directory(path);
    for (const QString &name : directory.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                                                   QDir::Unsorted))
        ChmodFile(directory.filePath(name));
    for (const QString &name : directory.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                                   QDir::Unsorted))
        ChmodVendorPath(directory.absoluteFilePath(name));
}
