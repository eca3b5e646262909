#include "common/directories.h"

namespace vornel {
namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The end of the path part that begins at start: the position of the next backslash, or npos
// when there is none or the part is empty.
size_t endOfPart(const std::string& path, size_t start) {
    const size_t end = path.find('\\', start);
    return end == std::string::npos || end == start ? std::string::npos : end;
}

}  // namespace

size_t absoluteRootLength(const std::string& path) {
    if (path.size() >= 3 && isDriveLetter(path[0]) && path[1] == ':' && path[2] == '\\') return 3;
    if (path.compare(0, 2, "\\\\") != 0) return 0;
    const size_t serverEnd = endOfPart(path, 2);
    if (serverEnd == std::string::npos) return 0;
    const std::string server = path.substr(2, serverEnd - 2);
    if (server == "?" || server == "." || server.find('/') != std::string::npos) return 0;
    const size_t shareEnd = endOfPart(path, serverEnd + 1);
    if (shareEnd == std::string::npos || path.substr(serverEnd + 1, shareEnd - serverEnd - 1).find('/') != std::string::npos) {
        return 0;
    }
    return shareEnd + 1;
}

ErrorCode createDirectoryTree(Platform& os, const std::string& path) {
    uint32_t attributes = 0;
    ErrorCode rc = os.fileAttributes(path, attributes);
    if (rc == win::kErrorSuccess) {
        return (attributes & win::kFileAttributeDirectory) != 0 ? win::kErrorSuccess : win::kErrorAlreadyExists;
    }
    if (rc != win::kErrorFileNotFound && rc != win::kErrorPathNotFound) return rc;
    // Each directory from the root down; those that exist already say so. A path that is
    // nothing but a root has none to make, and keeps the error of the look at it.
    const size_t root = absoluteRootLength(path);
    for (size_t i = root; i <= path.size(); ++i) {
        if (i < path.size() && !isSeparator(path[i])) continue;
        if (i == root || isSeparator(path[i - 1])) continue;
        rc = os.createDirectory(path.substr(0, i));
        if (rc != win::kErrorSuccess && rc != win::kErrorAlreadyExists) return rc;
    }
    return rc == win::kErrorAlreadyExists ? win::kErrorSuccess : rc;
}

}  // namespace vornel
