// The host's files kept bounded: trace files past TraceFileMaxKB renamed away at a start and at
// each restart, LogFile of the previous run kept; TraceFileKeep earlier files of each.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

class LogsTest : public HostTest {
protected:
    const std::string outFile = "C:\\agent\\logs\\middlewareagent\\host.stdout";
    const std::string errFile = "C:\\agent\\logs\\middlewareagent\\host.stderr";
    void traceToFiles(const std::string& maxKB, const std::string& keep) {
        os.setString(params, kDebugTrace, "on");
        os.setString(params, kStdOutTraceFile, outFile);
        os.setString(params, kStdErrTraceFile, errFile);
        os.setString(params, kTraceFileMaxKB, maxKB);
        os.setString(params, kTraceFileKeep, keep);
    }
};

TEST_F(LogsTest, ALargeTraceFileIsKeptAsTheFirstEarlierOneAtTheStart) {
    traceToFiles("1", "2");
    os.writeFile(errFile, std::string(2000, 'e'));
    os.writeFile(errFile + ".1", "older");
    os.writeFile(errFile + ".2", "oldest");
    os.writeFile(outFile, "small");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.fileContent(errFile + ".1"), std::string(2000, 'e'));
    EXPECT_EQ(os.fileContent(errFile + ".2"), "older") << "two kept, the oldest given up";
    EXPECT_FALSE(os.fileContent(errFile + ".3").has_value());
    EXPECT_FALSE(os.fileContent(outFile + ".1").has_value()) << "a small one stays";
    const auto messages = traceMessages(os.fileContent(errFile).value_or(""));
    // The new file begins with what was renamed, then the start's own lines.
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "VornelAgentService - VornelAgentServiceMain - the trace file " + errFile +
                               " (1 KB) is kept as " + errFile + ".1");
    EXPECT_EQ(messages[1], std::string(81, '='));
}

TEST_F(LogsTest, ATraceFileThatGrowsPastItsLimitIsRenamedAwayAtTheNextRestart) {
    traceToFiles("1", "5");
    os.setString(params, kRestartThrottle, "0");
    installation.agentRunsMs = {1000};
    startHost();
    ASSERT_TRUE(waitForAgents(2));
    ASSERT_TRUE(waitForReport(kRunning, 2));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    // The first start's trace (several KB) went to .1 as the restart began; the restart's trace
    // went on in a new file.
    const std::string kept = os.fileContent(errFile + ".1").value_or("");
    EXPECT_GT(kept.size(), 1024u);
    EXPECT_EQ(traceMessages(kept).at(2).rfind("VornelAgentService - VornelAgentServiceMain - entry", 0), 0u);
    const auto now = traceMessages(os.fileContent(errFile).value_or(""));
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(now.front().rfind("VornelAgentService - VornelAgentServiceMain - the trace file", 0), 0u);
    EXPECT_EQ(now.back(), "VornelAgentService - stopServer - reporting stopped");
}

TEST_F(LogsTest, WithoutALimitNothingIsRenamed) {
    traceToFiles("0", "5");
    os.writeFile(errFile, std::string(20000, 'e'));
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_FALSE(os.fileContent(errFile + ".1").has_value());
}

TEST_F(HostTest, ThePreviousRunsLogFileIsKeptBeforeTheStartScriptReplacesIt) {
    const std::string log = "C:\\agent\\logs\\agent.log";
    os.setString(params, kLogFile, log);
    os.setString(params, kTraceFileKeep, "1");
    os.writeFile(log, "the run before");
    os.writeFile(log + ".1", "the run before that");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.fileContent(log + ".1"), "the run before");
    EXPECT_FALSE(os.fileContent(log).has_value()) << "the script makes it anew";
}

}  // namespace
}  // namespace vornel::testing
