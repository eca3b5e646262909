// The host's files kept bounded: a trace file that has passed TraceFileMaxKB is renamed away at
// a service start or a restart, and the start script's LogFile of the previous run is kept
// before the script replaces it; of each, TraceFileKeep earlier files stay, <name>.1 the newest.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr uint32_t kDefaultTraceFileMaxKB = 10240;
constexpr uint32_t kDefaultTraceFileKeep = 5;

// The size of a trace file larger than the limit; absent when it is within it, or unknown.
std::optional<uint64_t> sizeOverLimit(Platform& os, const std::string& path, const TraceFiles& files) {
    uint64_t bytes = 0;
    if (files.maxBytes == 0 || os.fileSize(path, bytes) != win::kErrorSuccess || bytes <= files.maxBytes) {
        return std::nullopt;
    }
    return bytes;
}

// Renames a trace file of that size away, and says what became of it.
void keepLarge(Platform& os, const std::string& path, uint64_t bytes, unsigned keep, std::vector<std::string>& kept) {
    const std::string size = " (" + std::to_string(bytes / 1024) + " KB)";
    if (ErrorCode rc = keepEarlierFile(os, path, keep)) {
        kept.push_back(path + size + " could not be renamed (" + std::to_string(rc) + ")");
        return;
    }
    kept.push_back(path + size + " is kept as " + path + ".1");
}

void traceKept(const std::vector<std::string>& kept) {
    for (const std::string& line : kept) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - the trace file %s", line.c_str());
    }
}

}  // namespace

TraceFiles traceFileLimits(Platform& os, const std::string& parametersKeyPath) {
    TraceFiles files;
    const uint32_t maxKB = parseDecimal(getRegistryValue(os, parametersKeyPath, kTraceFileMaxKB)).value_or(kDefaultTraceFileMaxKB);
    files.maxBytes = uint64_t{maxKB} * 1024;
    const uint32_t keep = parseDecimal(getRegistryValue(os, parametersKeyPath, kTraceFileKeep)).value_or(kDefaultTraceFileKeep);
    files.keep = keep == 0 ? 1 : keep;
    return files;
}

ErrorCode keepEarlierFile(Platform& os, const std::string& path, unsigned keep) {
    // The oldest is replaced by the one before it, and so on down to the file itself.
    for (unsigned i = keep; i > 1; --i) {
        const ErrorCode rc = os.moveFile(path + "." + std::to_string(i - 1), path + "." + std::to_string(i));
        if (rc != win::kErrorSuccess && rc != win::kErrorFileNotFound) return rc;
    }
    return os.moveFile(path, path + ".1");
}

void pointTraceAtFiles(Platform& os, const TraceFiles& files) {
    if (!files.stdoutPath || !files.stderrPath) return;
    const std::optional<uint64_t> outBytes = sizeOverLimit(os, *files.stdoutPath, files);
    const std::optional<uint64_t> errBytes = sizeOverLimit(os, *files.stderrPath, files);
    std::vector<std::string> kept;
    if (outBytes || errBytes) {
        // Open files cannot be renamed: the streams are closed meanwhile, and point at the
        // files again after (a new file where one was renamed away).
        closeTraceOutput();
        if (outBytes) keepLarge(os, *files.stdoutPath, *outBytes, files.keep, kept);
        if (errBytes) keepLarge(os, *files.stderrPath, *errBytes, files.keep, kept);
    }
    redirectTraceOutput(os, files.stdoutPath, files.stderrPath);
    traceKept(kept);
}

}  // namespace vornel::host
