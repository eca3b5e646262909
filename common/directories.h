// Paths of the file system as the programs meet them: whether a path is absolute, and making
// a directory with its missing parents.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace vornel {

// The length of the path's root when it is absolute: 3 for a drive letter, a colon and a
// backslash ("C:\"), the length up to and with the separator after the share for
// "\\server\share\" (a server and a share, neither empty; not the device paths "\\?\" and
// "\\.\"); 0 for any other path, relative ones included.
size_t absoluteRootLength(const std::string& path);

// Makes the directory and every missing directory above it, below the path's root: 0 when it
// exists afterwards, else the error of the first directory that could not be made (or of
// the look at the path, when that says something else than that it does not exist).
ErrorCode createDirectoryTree(Platform& os, const std::string& path);

}  // namespace vornel
