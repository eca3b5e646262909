// The host's files kept bounded: a trace file that has passed TraceFileMaxKB is renamed away at
// a service start or a restart, and the start script's LogFile of the previous run is kept
// before the script replaces it; of each, TraceFileKeep earlier files stay, <name>.1 the newest.
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr uint32_t kDefaultTraceFileMaxKB = 10240;
constexpr uint32_t kDefaultTraceFileKeep = 5;

// The trace file renamed away when it is larger than the limit; true when it was.
bool keepWhenLarge(Platform& os, const std::string& path, const TraceFiles& files, std::vector<std::string>& kept) {
    uint64_t bytes = 0;
    if (files.maxBytes == 0 || os.fileSize(path, bytes) != win::kErrorSuccess || bytes <= files.maxBytes) return false;
    if (ErrorCode rc = keepEarlierFile(os, path, files.keep)) {
        kept.push_back(path + " (" + std::to_string(bytes / 1024) + " KB) could not be renamed (" + std::to_string(rc) + ")");
        return false;
    }
    kept.push_back(path + " (" + std::to_string(bytes / 1024) + " KB) is kept as " + path + ".1");
    return true;
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
    uint64_t outBytes = 0, errBytes = 0;
    const bool large = files.maxBytes != 0 &&
                       ((os.fileSize(*files.stdoutPath, outBytes) == win::kErrorSuccess && outBytes > files.maxBytes) ||
                        (os.fileSize(*files.stderrPath, errBytes) == win::kErrorSuccess && errBytes > files.maxBytes));
    std::vector<std::string> kept;
    if (large) {
        // Open files cannot be renamed: the streams are closed meanwhile, and point at the
        // files again after (a new file where one was renamed away).
        closeTraceOutput();
        keepWhenLarge(os, *files.stdoutPath, files, kept);
        keepWhenLarge(os, *files.stderrPath, files, kept);
    }
    redirectTraceOutput(os, files.stdoutPath, files.stderrPath);
    traceKept(kept);
}

}  // namespace vornel::host
