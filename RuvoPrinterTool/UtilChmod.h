#pragma once
// Modes of the per-user working tree and the autostart entry. Nothing of them
// is writable by the group or by others: anyone who could write the autostart
// entry could make this user run a command at the next login. Earlier
// versions opened both to everybody (0777); these functions take that back.
// Symbolic links are never followed: a link placed in the tree cannot lend a
// mode change to a file elsewhere.
#include <QString>

#include <sys/types.h>

// `mode` without write permission for the group and for others.
mode_t WithoutSharedWrite(mode_t mode);

// The directory itself, everything inside it (hidden entries too), and every
// sub-directory (not a link) the same way.
void ChmodVendorPath(const QString &path);
// One file or directory of this user; a symbolic link is left alone.
void ChmodFile(const QString &path);

// Creates `path` and its missing parents with mode 0755 (less under a stricter
// umask, never more). Returns whether it is a directory afterwards.
bool MakeUserDirectory(const QString &path);
