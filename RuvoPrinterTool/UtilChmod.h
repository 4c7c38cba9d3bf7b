#pragma once
// Opens the per-user working tree to everybody (mode 0777), as the product's
// other programs expect. Symbolic links are never followed: a link placed in
// the tree cannot lend its mode change to a file elsewhere.
#include <QString>

// The directory itself, everything directly inside it, and every
// sub-directory (not hidden, not a link) the same way.
void ChmodVendorPath(const QString &path);
// One file or directory; a symbolic link is left alone.
void ChmodFile(const QString &path);
