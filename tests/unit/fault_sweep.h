// The fault-injection sweep: a program path is run once without faults, then once per
// platform call with exactly that call failing (the Nth call, N = 1, 2, ...), each time on a
// fresh in-memory Windows with its own console, until a run makes fewer calls than N.
//
// The tools run in-process on the test's thread. The service host runs as the service
// manager runs it, its entry on a thread of its own that becomes the dispatcher thread, with
// a simulated agent installation behind its scripts and a driver that acts for the
// administrator and the agent whenever the service can go on only once someone acts: it
// sends a stop, then ends the agents, then sends another stop. Every run is held to a
// real-time limit; a run that does not finish fails its test and is ended by force.
#pragma once

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/encoding.h"
#include "common/registry.h"
#include "host/host.h"
#include "test_support.h"

namespace vornel::testing {

using Op = MemoryPlatform::Op;

// The failed call of a faulted run: its position, its operation, which call of that operation
// it was (1-based), and the code it failed with.
struct Fault {
    uint64_t n = 0;
    Op op = Op::Count;
    unsigned occurrence = 0;
    ErrorCode code = 0;
    // What the failed call was for, and what the call after it was for in the clean run (a
    // key created for the value written next, say); set by the tools' sweep.
    std::string subject;
    std::string nextSubject;
};

inline std::string describe(const Fault& fault) {
    return "call " + std::to_string(fault.n) + " (" + MemoryPlatform::opName(fault.op) + " #" +
           std::to_string(fault.occurrence) + ") failing with " + std::to_string(fault.code);
}

// The codes the sweeps fail calls with: access denied (the usual refusal, with a system
// text), an invalid handle (which the info tool tells apart), and a code the platform has no
// text for (the decimal form of the error lines).
inline const std::vector<ErrorCode> kSweepCodes = {win::kErrorAccessDenied, win::kErrorInvalidHandle, 1359};

// What one run made of the platform, common to tools and host.
struct RunRecord {
    uint64_t calls = 0;
    std::vector<Op> log;
    bool hang = false;  // an unbounded wait of the platform gave up
};

// The fault of a faulted run, read from its log.
inline Fault faultOf(const RunRecord& run, uint64_t n, ErrorCode code) {
    Fault fault;
    fault.n = n;
    fault.code = code;
    fault.op = run.log[n - 1];
    fault.occurrence = static_cast<unsigned>(std::count(run.log.begin(), run.log.begin() + n, fault.op));
    return fault;
}

// How many faults a sweep injected, per path and in all, for the record the tests print.
struct SweepTally {
    uint64_t cleanCalls = 0;
    uint64_t injected = 0;
};

inline void printTally(const std::string& program, const std::string& path, const SweepTally& tally) {
    std::printf("[ sweep    ] %-10s %-24s %4llu calls, %5llu faults injected\n", program.c_str(), path.c_str(),
                static_cast<unsigned long long>(tally.cleanCalls), static_cast<unsigned long long>(tally.injected));
    std::fflush(stdout);
}

// The sweep over one path and one code. run(failAt, code) runs the path once (failAt 0: no
// fault) and checks it; it returns what the run made of the platform. The sweep ends with
// the first run that makes fewer calls than the position of its fault.
inline uint64_t sweepCalls(ErrorCode code, const std::function<RunRecord(uint64_t failAt, ErrorCode code)>& run) {
    uint64_t injected = 0;
    for (uint64_t n = 1;; ++n) {
        RunRecord record = run(n, code);
        if (record.calls < n) break;
        ++injected;
    }
    return injected;
}

// --- Tools ---

// What a tool's run shows a script: its exit status and its two streams (trace lines removed).
struct ToolConsole {
    int status = 0;
    std::string out;
    std::string err;
};

inline bool operator==(const ToolConsole& a, const ToolConsole& b) {
    return a.status == b.status && a.out == b.out && a.err == b.err;
}

inline std::ostream& operator<<(std::ostream& os, const ToolConsole& c) {
    return os << "status " << c.status << ", out " << ::testing::PrintToString(c.out) << ", err "
              << ::testing::PrintToString(c.err);
}

struct ToolRun : RunRecord {
    ToolConsole console;
    std::vector<std::string> trace;
};

// One path of a tool: its command line after the program path, the in-memory Windows it
// meets, what a clean run shows, what a run with a failed call must show, and what must hold
// of the platform afterwards.
struct ToolPath {
    std::string program;
    std::string name;
    ToolEntry entry;
    std::vector<std::string> args;
    std::function<void(MemoryPlatform&)> setup;
    ToolConsole clean;
    // The console a run with this fault must show; calls whose failure the program cannot see
    // (a failed close) leave the clean console.
    std::function<ToolConsole(const Fault&, const ToolConsole& clean)> expect;
    // Further checks of the platform after a run (nullptr: none); fault is null for the clean run.
    std::function<void(const MemoryPlatform&, const ToolRun&, const Fault*)> inspect;
};

// The case name of a path, e.g. start_already_running.
inline std::string caseName(const ::testing::TestParamInfo<ToolPath>& info) {
    std::string name = info.param.program + "_" + info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

inline void PrintTo(const ToolPath& path, std::ostream* os) { *os << path.program << " " << path.name; }

inline ToolRun runTool(const ToolPath& path, uint64_t failAt, ErrorCode code, MemoryPlatform& os) {
    CapturedStream out, err;
    resetTrace(out.stream(), err.stream());
    if (path.setup) path.setup(os);
    os.resetCalls();
    if (failAt != 0) os.failCall(failAt, code);
    std::vector<std::string> args = path.args;
    args.insert(args.begin(), path.program + ".exe");
    Argv argv(args);
    ToolRun run;
    run.console.status = path.entry(os, argv.argc(), argv.argv());
    run.calls = os.callCount();
    run.log = os.callLog();
    run.hang = os.hangDetected();
    resetTrace(stdout, stderr);
    run.console.out = out.text();
    std::string errText = err.text();
    run.console.err = withoutTrace(errText);
    run.trace = traceMessages(errText);
    return run;
}

// Sweeps the path with every code; every run is checked against the path's expectations.
inline SweepTally sweepTool(const ToolPath& path) {
    SweepTally tally;
    std::vector<MemoryPlatform::Call> cleanCalls;
    {
        MemoryPlatform os;
        ToolRun clean = runTool(path, 0, 0, os);
        EXPECT_EQ(clean.console, path.clean) << "clean run";
        EXPECT_FALSE(clean.hang);
        if (path.inspect) path.inspect(os, clean, nullptr);
        tally.cleanCalls = clean.calls;
        cleanCalls = os.calls();
    }
    // A run is the clean run up to its failed call.
    auto subjectOf = [&](uint64_t n) { return n >= 1 && n <= cleanCalls.size() ? cleanCalls[n - 1].subject : ""; };
    for (ErrorCode code : kSweepCodes) {
        uint64_t injected = sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            ToolRun run = runTool(path, n, c, os);
            if (run.calls < n) return std::move(run);
            Fault fault = faultOf(run, n, c);
            fault.subject = subjectOf(n);
            fault.nextSubject = subjectOf(n + 1);
            SCOPED_TRACE(path.program + " " + path.name + ": " + describe(fault));
            EXPECT_FALSE(run.hang);
            EXPECT_EQ(run.console, path.expect(fault, path.clean));
            if (path.inspect) path.inspect(os, run, &fault);
            return std::move(run);
        });
        // The tools are deterministic: every call of the clean run has been failed once.
        EXPECT_EQ(injected, tally.cleanCalls) << path.program << " " << path.name << " with code " << code;
        tally.injected += injected;
    }
    printTally(path.program, path.name, tally);
    return tally;
}

}  // namespace vornel::testing
