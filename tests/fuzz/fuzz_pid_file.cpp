// The host's two pid-file readers over any file content, through the in-memory platform's
// files. The first byte's high bit with nothing after it means no file; the rest is the file
// as the agent left it.
//
// The expected pid comes from the C library itself: the content as text mode reads it, cut
// into pieces by fgets into a 101-byte buffer with a limit of 100 (99 characters and the
// terminator), the number taken with strtol and held to 32 bits. readAgentPidFile must give
// the number of the first piece with exactly its trace lines, the pid wait's reading that of
// the last; isServerRunningAlready names only a live process; no reader changes the file.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "host/host.h"
#include "tests/memory/memory_platform.h"

namespace {

using vornel::MemoryPlatform;

const std::string kPidFile = "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile";
const std::string kHost = "VornelAgentService - ";

// What msvcrt's text mode gives a reader: CR LF reads as LF, a Ctrl-Z ends the file.
std::string textModeContent(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text.push_back(raw[i]);
    }
    return text;
}

// The buffer after the first fgets and after the last successful one, as C texts; absent when
// not even one read succeeded (an empty file).
struct Reads {
    std::optional<std::string> first;
    std::optional<std::string> last;
};

Reads readLikeTheHost(const std::string& text) {
    Reads reads;
    if (text.empty()) return reads;
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    FUZZ_CHECK(file != nullptr);
    char buffer[101];
    std::memset(buffer, 0, sizeof buffer);
    while (std::fgets(buffer, 100, file) != nullptr) {
        if (!reads.first) reads.first = std::string(buffer);
        reads.last = std::string(buffer);
    }
    std::fclose(file);
    return reads;
}

int32_t pidOf(const std::string& piece) {
    errno = 0;
    long long value = std::strtoll(piece.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

struct World {
    MemoryPlatform os;
    vornel::host::HostContext host{os};
    uint32_t livePid = os.spawnProcess(MemoryPlatform::ProcessSpec{});
    uint32_t endedPid = 0;
    World() {
        endedPid = os.spawnProcess(MemoryPlatform::ProcessSpec{});
        os.endProcess(endedPid, 0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    using host::readAgentPidFile;
    if (size == 0) return 0;
    static World world;
    MemoryPlatform& os = world.os;
    host::HostContext& host = world.host;

    const uint8_t mode = data[0];
    const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool missing = (mode & 0x80) != 0 && raw.empty();
    if (missing) {
        os.removeFile(kPidFile);
    } else {
        os.writeFile(kPidFile, raw);
    }
    const std::string text = textModeContent(raw);
    const Reads reads = readLikeTheHost(text);

    // readAgentPidFile: the first piece.
    {
        fuzz::CapturedConsole console;
        enableTrace();
        const int32_t pid = readAgentPidFile(host, kPidFile);
        std::vector<std::string> trace{kHost + "readAgentPidFile - pid file = " + kPidFile};
        int32_t expected = 0;
        if (missing) {
            trace.push_back(kHost + "readAgentPidFile - fopen failed");
        } else if (!reads.first) {
            trace.push_back(kHost + "readAgentPidFile - fgets failed");
        } else if (reads.first->empty()) {
            trace.push_back(kHost + "readAgentPidFile - pid_str(0) = 0");
        } else {
            trace.push_back(kHost + "readAgentPidFile - pid string from file = " + *reads.first);
            expected = pidOf(*reads.first);
        }
        trace.push_back(kHost + "readAgentPidFile - returning pid = " + std::to_string(expected));
        FUZZ_CHECK(pid == expected);
        FUZZ_CHECK(fuzz::isExactTrace(console.err(), trace));
        FUZZ_CHECK(console.out().empty());

        // A single line of up to 98 characters and its line end: both readers agree.
        if (!text.empty() && text.size() <= 99 && text.find('\n') == text.size() - 1) {
            FUZZ_CHECK(reads.first == reads.last);
        }
    }

    // isServerRunningAlready: the first piece's pid, when that process lives.
    {
        fuzz::CapturedConsole console;
        const int32_t named = readAgentPidFile(host, kPidFile);
        const int32_t running = host::isServerRunningAlready(host, kPidFile);
        FUZZ_CHECK(running == (named != 0 && static_cast<uint32_t>(named) == world.livePid ? named : 0));
        FUZZ_CHECK(os.processRunning(world.livePid) && !os.processRunning(world.endedPid));
    }

    // The pid wait's reading: the last piece and its number, as the C library leaves them.
    {
        const std::optional<host::PidPiece> last = host::lastPidPiece(missing ? std::string() : text);
        const bool parsed = reads.last && !reads.last->empty();
        FUZZ_CHECK(last.has_value() == parsed);
        if (last && parsed) {
            FUZZ_CHECK(last->piece.c_str() == *reads.last);  // as the trace shows it
            FUZZ_CHECK(last->pid == pidOf(*reads.last));
        }
    }

    // The host only reads the pid file.
    FUZZ_CHECK(missing ? !os.fileContent(kPidFile) : os.fileContent(kPidFile) == raw);
    FUZZ_CHECK(os.openHandleCount() == 0);
    return 0;
}
