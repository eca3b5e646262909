// The start and stop tools' -wait on the in-memory Windows' virtual clock: each outcome of each
// wait, with the host's Runtime values written as the host writes them, and the virtual time by
// which the answer must have come (a quarter of a second after the change it waits for).
#include "host_runtime.h"
#include "start/start_tool.h"
#include "stop/stop_tool.h"
#include "tool_test.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

// What happens on the machine while the tool waits (the host's writes and the service's states,
// each at its moment), and the agent it supervises, if any.
using Scenario = void (*)(MemoryPlatform& os, HostRuntime& host, uint32_t& agent);

struct WaitRow {
    const char* name;
    Scenario scenario;
    std::vector<std::string> wait;  // the -wait option and its value, if any
    int status;
    std::string out;        // "<agent>" stands for the agent's pid
    uint64_t answeredByMs;  // the latest virtual time of the answer
};

std::string withAgent(std::string text, uint32_t agent) {
    const size_t at = text.find("<agent>");
    return at == std::string::npos ? text : text.replace(at, 7, std::to_string(agent));
}

template <ToolEntry Entry>
class WaitTest : public ToolTest, public ::testing::WithParamInterface<WaitRow> {
protected:
    WaitTest() : ToolTest(Entry, "tool.exe") {}

    void runRow(uint32_t initialState) {
        const WaitRow& row = GetParam();
        InstalledService().state(initialState).install(os);
        HostRuntime host(os, kFullName);
        uint32_t agent = 0;
        row.scenario(os, host, agent);
        std::vector<std::string> args = {"-servicename", kShortName, "-debug"};
        args.insert(args.end(), row.wait.begin(), row.wait.end());
        Outcome outcome = runCapturing(args);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.out, withAgent(row.out, agent));
        EXPECT_EQ(outcome.err, "");
        EXPECT_LE(os.nowMs(), row.answeredByMs);
    }
};

// --- Start ---

using StartWaitTest = WaitTest<startVornelAgentServiceMain>;

TEST_P(StartWaitTest, AnswersWithTheOutcomeOfTheStart) { runRow(win::kServiceStopped); }

const std::string kStarted = "Successfully started service.\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, StartWaitTest,
    ::testing::Values(
        WaitRow{"AgentSupervised",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t& agent) {
                    at(os, 300, [&host] { host.start(); });
                    at(os, 1200, [&host, &agent] { agent = host.supervise(); });
                },
                {"-wait", "5"}, 0, kStarted + "The agent is running (pid <agent>).\n", 1450},
        WaitRow{"StoppedWithItsOutcome",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&host] { host.start(kPhaseWaitingForPidFile); });
                    at(os, 900, [&host] { host.stop("no new pid in the pid file within 31 s", 1066, 1); });
                },
                {"-wait"}, 1, kStarted + "The service stopped: no new pid in the pid file within 31 s.\n", 1150},
        WaitRow{"StoppedWithOnlyTheOutcomeOfAnEarlierStart",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    host.write(kRuntimeOutcome, "stopped on request");
                    os.advance(1000);
                    at(os, 300, [&os] {
                        os.setServiceState(kFullName, win::kServiceStopped);
                        os.setServiceExitCodes(kFullName, 1067, 0);
                    });
                },
                {"-wait", "5"}, 1, kStarted + "The service stopped: no outcome recorded (exit codes 1067 / 0).\n",
                1000 + 550},
        WaitRow{"StartedAgainByTheServiceManagerAfterItsOutcome",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&host] { host.start(); });
                    at(os, 600, [&host] { host.write(kRuntimeOutcome, "the agent ended with exit code 3"); });
                    at(os, 650, [&host] {
                        host.stop("the agent ended with exit code 3", 1066, 3);
                        host.start();
                    });
                },
                {"-wait", "5"}, 1, kStarted + "The service stopped: the agent ended with exit code 3.\n", 900},
        WaitRow{"StartedAgainByTheServiceManagerUnseen",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&host] { host.start(); });
                    at(os, 650, [&host] {
                        host.stop("the agent ended with exit code 3", 1066, 3);
                        host.start();
                    });
                },
                {"-wait", "5"}, 1,
                kStarted + "The service stopped: no outcome recorded; the service manager started the service again.\n",
                900},
        WaitRow{"TimedOutWhileTheHostWaitsForThePidFile",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&host] { host.start(kPhaseWaitingForPidFile); });
                },
                {"-wait", "3"}, 2, kStarted + "The agent is not running after 3 s (waiting for the pid file).\n", 3000},
        WaitRow{"TimedOutWhileTheBackOffWaits",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&host] { host.start(kPhaseWaitingToRestart, win::kServicePaused); });
                },
                {"-wait", "3"}, 2, kStarted + "The agent is not running after 3 s (waiting to restart).\n", 3000},
        WaitRow{"AnAgentThatHasEndedIsNotRunning",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&os, &host] { os.endProcess(host.start().supervise()); });
                },
                {"-wait", "2"}, 2, kStarted + "The agent is not running after 2 s (supervising).\n", 2000},
        WaitRow{"TheValuesOfAHostThatDiedCountForNothing",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    at(os, 300, [&os, &host] {
                        host.start().supervise();
                        os.endProcess(host.pid());  // the service manager still says running
                    });
                },
                {"-wait", "2"}, 2, kStarted + "The agent is not running after 2 s (running).\n", 2000},
        WaitRow{"WithoutAValueTwoMinutes",
                [](MemoryPlatform&, HostRuntime&, uint32_t&) {},
                {"-wait"}, 2, kStarted + "The agent is not running after 120 s (running).\n", 120000}),
    rowName<WaitRow>);

class StartToolWaitTest : public ToolTest {
protected:
    StartToolWaitTest() : ToolTest(startVornelAgentServiceMain, "StartVornelAgentService.exe") {}
};

TEST_F(StartToolWaitTest, AServiceWhoseHostSupervisesItsAgentAnswersAsAWaitedStart) {
    InstalledService().install(os);
    const uint32_t agent = HostRuntime(os, kFullName).start().supervise();
    Outcome outcome = runCapturing({"-servicename", kShortName, "-wait", "5"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "The agent is running (pid " + std::to_string(agent) + ").\n");
    EXPECT_EQ(outcome.err, "");
}

TEST_F(StartToolWaitTest, ARunningServiceWithoutASupervisedAgentIsRefusedAsBefore) {
    InstalledService().install(os);
    HostRuntime(os, kFullName).start(kPhaseWaitingForPidFile);
    Outcome outcome = runCapturing({"-servicename", kShortName, "-wait", "5"});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, systemErrorLine("Failed to start service", win::kErrorServiceAlreadyRunning));
}

TEST_F(StartToolWaitTest, TheStoppedAnswerTracesTheTwoExitCodes) {
    InstalledService().install(os);
    os.setStartHandler([this](const std::string& name) {
        os.setServiceState(name, win::kServiceStopped);
        os.setServiceExitCodes(name, 1066, 2);
        return ErrorCode{0};
    });
    Outcome outcome = runCapturing({"-servicename", kShortName, "-wait", "-debug"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(traced("StartVornelAgentService - waitForAgent - stopped, exit codes 1066 / 2"));
}

// --- Stop ---

using StopWaitTest = WaitTest<stopVornelAgentServiceMain>;

// The stop control leaves the service stopping, its host saying so.
void stopping(MemoryPlatform& os, HostRuntime& host) {
    host.start(kPhaseSupervising);
    os.setStopHandler([&os, &host](const std::string& name) {
        os.setServiceState(name, win::kServiceStopPending);
        host.write(kRuntimePhase, kPhaseStopping);
        return ErrorCode{0};
    });
}

TEST_P(StopWaitTest, AnswersOnceTheServiceHasStopped) { runRow(win::kServiceRunning); }

const std::string kStopSent = "Successfully stopped service.\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, StopWaitTest,
    ::testing::Values(
        WaitRow{"StoppedByItsHost",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    stopping(os, host);
                    at(os, 700, [&host] { host.stop("stopped on request"); });
                },
                {"-wait", "5"}, 0, kStopSent + "The service is stopped.\n", 950},
        WaitRow{"TimedOutWhileItsHostStops",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) { stopping(os, host); },
                {"-wait", "2"}, 2, kStopSent + "The service is not stopped after 2 s (stopping).\n", 2000},
        WaitRow{"TimedOutWithoutValuesOfItsHost",
                [](MemoryPlatform& os, HostRuntime&, uint32_t&) {
                    os.setStopHandler([&os](const std::string& name) {
                        os.setServiceState(name, win::kServiceStopPending);
                        return ErrorCode{0};
                    });
                },
                {"-wait", "2"}, 2, kStopSent + "The service is not stopped after 2 s (stop pending).\n", 2000},
        WaitRow{"AlreadyStopped",
                [](MemoryPlatform& os, HostRuntime&, uint32_t&) {
                    os.setServiceState(kFullName, win::kServiceStopped);
                },
                {"-wait"}, 0, "The service is stopped.\n", 0},
        WaitRow{"AlreadyStopping",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    host.start(kPhaseStopping, win::kServiceStopPending);
                    at(os, 500, [&host] { host.stop("stopped on request"); });
                },
                {"-wait", "5"}, 0, "The service is stopped.\n", 750},
        WaitRow{"StartedAgainByTheServiceManager",
                [](MemoryPlatform& os, HostRuntime& host, uint32_t&) {
                    stopping(os, host);
                    at(os, 500, [&host] {
                        host.stop("stopped on request", 1066, 4);
                        host.start();
                    });
                },
                {"-wait", "5"}, 0, kStopSent + "The service is stopped.\n", 750}),
    rowName<WaitRow>);

class StopToolWaitTest : public ToolTest {
protected:
    StopToolWaitTest() : ToolTest(stopVornelAgentServiceMain, "StopVornelAgentService.exe") {}
};

TEST_F(StopToolWaitTest, AStopRefusedForAnotherReasonIsRefusedAsBefore) {
    InstalledService().state(win::kServiceRunning).install(os);
    os.failNext(Op::ControlService, win::kErrorAccessDenied);
    Outcome outcome = runCapturing({"-servicename", kShortName, "-wait", "5"});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err,
              "Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n" +
                  systemErrorLine("Could not stop service", win::kErrorAccessDenied));
}

// --- The -wait value ---

struct WaitValueRow {
    const char* name;
    ToolEntry entry;
    std::string value;
};

class WaitValueTest : public MemoryTest, public ::testing::WithParamInterface<WaitValueRow> {};

TEST_P(WaitValueTest, AValueThatIsNotSecondsIsRefusedBeforeAnythingIsTouched) {
    const WaitValueRow& row = GetParam();
    InstalledService().state(win::kServiceRunning).install(os);
    Argv argv({"tool.exe", "-servicename", kShortName, "-wait", row.value});
    EXPECT_EQ(row.entry(os, argv.argc(), argv.argv()), -1);
    EXPECT_EQ(errWithoutTrace(), "'" + row.value + "' is not a valid argument for -wait.\n");
    EXPECT_NE(out().find("\r\nUsage: "), std::string::npos);
    EXPECT_EQ(os.callCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, WaitValueTest,
                         ::testing::Values(WaitValueRow{"StartWord", startVornelAgentServiceMain, "soon"},
                                           WaitValueRow{"StartTenDigits", startVornelAgentServiceMain, "1234567890"},
                                           WaitValueRow{"StopWithAUnit", stopVornelAgentServiceMain, "5s"},
                                           WaitValueRow{"StopEmpty", stopVornelAgentServiceMain, ""}),
                         rowName<WaitValueRow>);

}  // namespace
}  // namespace vornel::testing
