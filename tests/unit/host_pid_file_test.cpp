// The pid file readers: which piece each reader uses, how a pid is parsed, the pid wait's
// attempts, and when a named process counts as a live agent.
#include <climits>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

using host::isServerRunningAlready;
using host::readAgentPidFile;

struct PieceCase {
    const char* name;
    std::optional<std::string> content;   // absent: no file
    int32_t first;                         // readAgentPidFile
    std::optional<int32_t> last;           // the pid wait's reading; absent: nothing to parse
    std::optional<std::string> readTrace;  // the reader's distinctive trace line
};

void PrintTo(const PieceCase& row, std::ostream* os) { *os << row.name; }

class PidFileTest : public HostTest {};

class PieceTest : public PidFileTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(PieceTest, ReadersTakeTheFirstAndTheLastPiece) {
    const PieceCase& c = GetParam();
    auto host = directContext();
    enableTrace();
    if (c.content) os.writeFile(pidFile, *c.content);
    EXPECT_EQ(readAgentPidFile(*host, pidFile), c.first);
    auto lines = trace();
    if (c.readTrace) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), *c.readTrace), lines.end());
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "VornelAgentService - readAgentPidFile - returning pid = " + std::to_string(c.first));

    std::optional<host::PidPiece> last = host::lastPidPiece(c.content.value_or(""));
    EXPECT_EQ(last.has_value(), c.last.has_value());
    if (last && c.last) { EXPECT_EQ(last->pid, *c.last); }
}

const std::string kNinetyEightBlanks(98, ' ');

INSTANTIATE_TEST_SUITE_P(
    Rows, PieceTest,
    ::testing::Values(
        PieceCase{"NumberAndLineEnd", std::string("1234\r\n"), 1234, 1234, std::nullopt},
        PieceCase{"LeadingBlanksTrailingLetters", std::string(" \t 42abc"), 42, 42, std::nullopt},
        PieceCase{"Signs", std::string("+17\n-17\n"), 17, -17, std::nullopt},
        PieceCase{"LettersOnly", std::string("abc\n"), 0, 0, std::nullopt},
        PieceCase{"TwoLines", std::string("111\n222\n"), 111, 222, std::nullopt},
        PieceCase{"LastLineEmpty", std::string("123\n\n"), 123, 0, std::nullopt},
        // 98 blanks and a digit fill the first piece; the line end is a piece of its own.
        PieceCase{"LineOf100Characters", kNinetyEightBlanks + "5\n", 5, 0, std::nullopt},
        PieceCase{"LineOf99Characters", std::string(97, ' ') + "6\n", 6, 6, std::nullopt},
        PieceCase{"LongLineInPieces", std::string(99, '9') + "42", INT32_MAX, 42, std::nullopt},
        PieceCase{"JustAboveTheRange", std::string("2147483648\n"), INT32_MAX, INT32_MAX, std::nullopt},
        PieceCase{"Largest", std::string("2147483647\n"), INT32_MAX, INT32_MAX, std::nullopt},
        PieceCase{"Smallest", std::string("-2147483648\n"), INT32_MIN, INT32_MIN, std::nullopt},
        PieceCase{"JustBelowTheRange", std::string("-2147483649\n"), INT32_MIN, INT32_MIN, std::nullopt},
        PieceCase{"EmptyFile", std::string(), 0, std::nullopt, "VornelAgentService - readAgentPidFile - fgets failed"},
        PieceCase{"ZeroByteFirst", std::string("\0" "12\n", 4), 0, std::nullopt,
                  "VornelAgentService - readAgentPidFile - pid_str(0) = 0"},
        PieceCase{"NoFile", std::nullopt, 0, std::nullopt, "VornelAgentService - readAgentPidFile - fopen failed"}),
    rowName<PieceCase>);

TEST_F(PidFileTest, TheWaitTracesThePieceItRead) {
    os.setString(params, kDebugTrace, "on");
    os.writeFile(pidFile, "7\n");  // an agent that has ended
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(os.waitUntil([&] { return traced("VornelAgentService - waitForPidFile - returning true"); }));
    // The piece keeps its line end, so the trace line continues on the next line.
    const std::string pid = std::to_string(agents()[0]);
    EXPECT_NE(err().find(" - VornelAgentService - waitForPidFile - read pid " + pid + "\n - " + pid + " - lastPid = 7\n"),
              std::string::npos);
    EXPECT_TRUE(traced("VornelAgentService - waitForPidFile - returning true"));
    EXPECT_FALSE(traced("VornelAgentService - waitForPidFile - about to sleep - -1")) << "found at the first look";
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

TEST_F(PidFileTest, TheWaitGivesUpAfterThirtyOneAttemptsAndNeverTakesZeroForNew) {
    os.setString(params, kDebugTrace, "on");
    os.writeFile(pidFile, "0\n");
    installation.writesPid = false;
    // The file is written again meanwhile, with the same 0.
    installation.onStartLaunch = [this] {
        MemoryPlatform::ProcessSpec writer;
        writer.runsForMs = 4500;
        writer.onExit = [this] { os.writeFile(pidFile, "0\n"); };
        os.spawnProcess(writer);
    };
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), stopped(1066, 1)));
    auto errors = eventsWithId(host::kEventNoNewPid);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].type, win::kEventlogErrorType);
    EXPECT_EQ(errors[0].insertion, name);
    // 31 one-second attempts after the running report, and a look at the rewrite.
    auto timed = os.statusReports();
    EXPECT_EQ(timed.back().atMs - timed[timed.size() - 2].atMs, 31000u);
    EXPECT_EQ(os.callCount(MemoryPlatform::Op::ReadTextFile), 2u + 31u + 1u);
    EXPECT_TRUE(traced("VornelAgentService - waitForPidFile - about to sleep - -1"));
    EXPECT_TRUE(traced("VornelAgentService - waitForPidFile - back from sleep - 29"));
    EXPECT_FALSE(traced("VornelAgentService - waitForPidFile - about to sleep - 30"));
    auto lines = trace();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "VornelAgentService - waitForPidFile - Timed out waiting for pid.");
    EXPECT_EQ(lines.back(), "VornelAgentService - waitForPidFile - returning false");
}

struct LateWriteRow {
    const char* name;
    bool watched;         // the pid file's folder can be watched
    uint64_t adoptedAfter;  // the start script's end to the agent's adoption
};

class LatePidTest : public PidFileTest, public ::testing::WithParamInterface<LateWriteRow> {};

TEST_P(LatePidTest, APidWrittenLateIsTakenAsItIsWritten) {
    installation.pidWrittenAfterMs = 1300;
    if (!GetParam().watched) os.failNext(MemoryPlatform::Op::WatchDirectory, win::kErrorAccessDenied);
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(os.waitUntil([&] { return os.callCount(MemoryPlatform::Op::OpenProcess) >= 1; }));
    const uint64_t scriptEnded = os.statusReports().back().atMs;  // the running report
    uint64_t adopted = 0;
    for (const MemoryPlatform::Call& call : os.calls()) {
        if (call.op == MemoryPlatform::Op::OpenProcess && call.subject == "agent") adopted = call.atMs;
    }
    EXPECT_EQ(adopted - scriptEnded, GetParam().adoptedAfter);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, LatePidTest,
                         ::testing::Values(LateWriteRow{"ChangeNotification", true, 1300},
                                           LateWriteRow{"OnceASecondWithoutAWatch", false, 2000}),
                         rowName<LateWriteRow>);

TEST_F(PidFileTest, OnlyAProcessThatHasNotEndedCountsAsRunning) {
    auto host = directContext();
    enableTrace();
    uint32_t live = os.spawnProcess({});
    uint32_t ended = os.spawnProcess({});
    os.endProcess(ended, 0);

    os.writeFile(pidFile, std::to_string(live) + "\n");
    EXPECT_EQ(isServerRunningAlready(*host, pidFile), static_cast<int32_t>(live));
    EXPECT_TRUE(traced("VornelAgentService - isServerRunningAlready - serverProcess already running, pid = " +
                       std::to_string(live)));

    // An ended process can still be opened, but it is not an agent that runs.
    for (const std::string& content : {std::to_string(ended) + "\n", std::string("31337\n")}) {
        os.writeFile(pidFile, content);
        size_t before = trace().size();
        EXPECT_EQ(isServerRunningAlready(*host, pidFile), 0) << content;
        auto lines = trace();
        std::vector<std::string> tail(lines.begin() + static_cast<long>(before), lines.end());
        ASSERT_GE(tail.size(), 2u);
        EXPECT_EQ(tail[tail.size() - 2], "VornelAgentService - isServerRunningAlready - pid file found for dead process");
        EXPECT_EQ(tail.back(), "\tserver not running");
    }

    os.removeFile(pidFile);
    EXPECT_EQ(isServerRunningAlready(*host, pidFile), 0);
}

TEST_F(PidFileTest, AProcessThatOpensCountsAsRunningWhenItsEndCannotBeSeen) {
    auto host = directContext();
    uint32_t live = os.spawnProcess({});
    uint32_t ended = os.spawnProcess({});
    os.endProcess(ended, 0);
    for (uint32_t pid : {live, ended}) {
        os.writeFile(pidFile, std::to_string(pid) + "\n");
        os.failNext(MemoryPlatform::Op::WaitForProcess, win::kErrorAccessDenied);
        EXPECT_EQ(isServerRunningAlready(*host, pidFile), static_cast<int32_t>(pid)) << pid;
    }
    // A process that does not open counts as dead, whatever the reason.
    os.writeFile(pidFile, std::to_string(live) + "\n");
    os.failNext(MemoryPlatform::Op::OpenProcess, win::kErrorAccessDenied);
    EXPECT_EQ(isServerRunningAlready(*host, pidFile), 0);
}

// --- Pid reuse: a live process counts as the agent only when it can have written the file. ---

// The in-memory system started at 2026-12-07 23:00:00 UTC; the test runs an hour later.
constexpr int64_t kMinute = 60000;

struct PidReuseRow {
    const char* name;
    int64_t writtenAfterBootMs;            // the pid file's last write, against the system's start
    int64_t createdAfterWriteMs;           // the process's creation, against that write
    std::optional<MemoryPlatform::Op> unreadable;  // a time that cannot be read
    bool countsAsAgent;
    std::string why;  // the trace's reason when it does not
};

void PrintTo(const PidReuseRow& row, std::ostream* os) { *os << row.name; }

class PidReuseTest : public PidFileTest, public ::testing::WithParamInterface<PidReuseRow> {};

TEST_P(PidReuseTest, ALiveProcessCountsAsTheAgentOnlyWhenItCanHaveWrittenThePidFile) {
    const PidReuseRow& c = GetParam();
    auto host = directContext();
    enableTrace();
    const uint64_t boot = os.systemTimeNow() - 3600000;
    const uint64_t written = static_cast<uint64_t>(static_cast<int64_t>(boot) + c.writtenAfterBootMs);
    const uint32_t live = os.spawnProcess({});
    os.writeFile(pidFile, std::to_string(live) + "\r\n");
    os.setFileWriteTime(pidFile, written);
    os.setProcessCreationTime(live, static_cast<uint64_t>(static_cast<int64_t>(written) + c.createdAfterWriteMs));
    if (c.unreadable) os.failNext(*c.unreadable, win::kErrorAccessDenied);

    EXPECT_EQ(isServerRunningAlready(*host, pidFile), c.countsAsAgent ? static_cast<int32_t>(live) : 0);
    if (c.countsAsAgent) {
        EXPECT_TRUE(traced("VornelAgentService - isServerRunningAlready - serverProcess already running, pid = " +
                           std::to_string(live)));
        return;
    }
    // Why, then on as for a dead process.
    auto lines = trace();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "VornelAgentService - isServerRunningAlready - pid " + std::to_string(live) +
                                           " is not the agent that wrote the pid file: " + c.why);
    EXPECT_EQ(lines[lines.size() - 2], "VornelAgentService - isServerRunningAlready - pid file found for dead process");
    EXPECT_EQ(lines.back(), "\tserver not running");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PidReuseTest,
    ::testing::Values(
        PidReuseRow{"WrittenBeforeTheSystemStarted", -kMinute, -1000, std::nullopt, false,
                    "the file was last written 2026-12-07 22:59:00 UTC, before the system started "
                    "2026-12-07 23:00:00 UTC"},
        PidReuseRow{"CreatedElevenSecondsAfterTheWrite", 5 * kMinute, 11000, std::nullopt, false,
                    "the process was created 2026-12-07 23:05:11 UTC, more than 10 s after the file was last "
                    "written 2026-12-07 23:05:00 UTC"},
        PidReuseRow{"CreatedTenSecondsAfterTheWrite", 5 * kMinute, 10000, std::nullopt, true, ""},
        PidReuseRow{"CreatedBeforeTheWrite", 5 * kMinute, -kMinute, std::nullopt, true, ""},
        PidReuseRow{"WrittenAsTheSystemStarted", 0, -1000, std::nullopt, true, ""},
        // A time that cannot be read leaves the live process counted as the agent.
        PidReuseRow{"FileTimeUnreadable", -kMinute, 11000, MemoryPlatform::Op::FileLastWriteTime, true, ""},
        PidReuseRow{"CreationTimeUnreadable", 5 * kMinute, 11000, MemoryPlatform::Op::ProcessCreationTime, true, ""}),
    rowName<PidReuseRow>);

struct TimeRow {
    uint64_t time;  // milliseconds since 1601
    const char* text;
};

TEST(FormatSystemTime, CivilDatesInUtc) {
    const TimeRow rows[] = {
        {0, "1601-01-01 00:00:00 UTC"},
        {11644473600000, "1970-01-01 00:00:00 UTC"},
        {12596342401000, "2000-03-01 00:00:01 UTC"},
        {13353724799000, "2024-02-29 23:59:59 UTC"},
        {13353724799999, "2024-02-29 23:59:59 UTC"},  // milliseconds are cut, not rounded
        {13441161600000, "2026-12-08 00:00:00 UTC"},
        {265046774399000, "9999-12-31 23:59:59 UTC"},
    };
    for (const TimeRow& r : rows) EXPECT_EQ(host::formatSystemTime(r.time), r.text) << r.time;
}

}  // namespace
}  // namespace vornel::testing
