// The Runtime key: the host's account of itself, a volatile key written at every change, which
// the tools read.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

class RuntimeTest : public HostTest {
protected:
    const std::string runtime = runtimeKeyPath(name);
    std::optional<std::string> value(const char* name_) { return os.stringValue(runtime, name_); }
    std::vector<std::string> names() { return os.valueNames(runtime); }
};

TEST_F(RuntimeTest, ItTellsEachPhaseWithTheValuesThatApply) {
    os.setCurrentProcessId(4);
    // A value an earlier run left behind.
    {
        RegKey earlier;
        ASSERT_EQ(os.regCreateVolatileKey(runtime, earlier), 0u);
        ASSERT_EQ(os.regSetStringValue(earlier, kRuntimeOutcome, "stopped on request"), 0u);
    }
    installation.agentRunsMs = {500};
    installation.agentExitCode = 3;
    // The account as it stands when the agent ends (supervising) and when the restart begins
    // (waiting to restart): each event comes before the turn's account is written.
    std::map<std::string, std::optional<std::string>> supervising, waiting;
    auto snapshot = [&](std::map<std::string, std::optional<std::string>>& into) {
        for (const char* n : {kRuntimeHostPid, kRuntimePhase, kRuntimeAgentPid, kRuntimeAgentSince, kRuntimeStarts,
                              kRuntimeLastExit, kRuntimeRestartAt, kRuntimeOutcome}) {
            into[n] = os.stringValue(runtime, n);
        }
    };
    unsigned cycles = 0;
    os.setEventHook([&](const MemoryPlatform::Event& e) {
        if (e.id == host::kEventAgentEnded && supervising.empty()) snapshot(supervising);
        if (e.id == host::kEventStartCycle && ++cycles == 2) snapshot(waiting);
    });
    startHost();
    ASSERT_TRUE(waitForAgents(2));
    ASSERT_TRUE(waitForReport(kRunning, 2));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.keyIsVolatile(runtime));

    using Values = std::map<std::string, std::optional<std::string>>;
    const std::optional<std::string> none;
    EXPECT_EQ(supervising, (Values{{kRuntimeHostPid, "4"}, {kRuntimePhase, kPhaseSupervising},
                                   {kRuntimeAgentPid, std::to_string(agents()[0])},
                                   {kRuntimeAgentSince, "2026-12-08 00:00:02 UTC"},  // as the 2.5-s script ended
                                   {kRuntimeStarts, "1"}, {kRuntimeLastExit, none}, {kRuntimeRestartAt, none},
                                   {kRuntimeOutcome, none}}))
        << "an earlier run's Outcome is gone";
    EXPECT_EQ(waiting, (Values{{kRuntimeHostPid, "4"}, {kRuntimePhase, kPhaseWaitingToRestart},
                               {kRuntimeAgentPid, none}, {kRuntimeAgentSince, none}, {kRuntimeStarts, "1"},
                               {kRuntimeLastExit, "3 at 2026-12-08 00:00:03 UTC"},
                               {kRuntimeRestartAt, "2026-12-08 00:00:04 UTC"}, {kRuntimeOutcome, none}}));
    EXPECT_EQ(os.stringValue(runtime, kRuntimePhase), kPhaseStopped);
    EXPECT_EQ(os.stringValue(runtime, kRuntimeOutcome), "stopped on request");
    EXPECT_EQ(os.stringValue(runtime, kRuntimeStarts), "2");
    EXPECT_EQ(names(), (std::vector<std::string>{kRuntimeHostPid, kRuntimeLastExit, kRuntimeOutcome, kRuntimePhase,
                                                 kRuntimeStarts}));
    // Phase is the last value of each account written: a reader that sees a phase sees its values.
    const std::vector<MemoryPlatform::Call> calls = os.calls();
    for (size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].op != MemoryPlatform::Op::RegSetValue || calls[i].subject != kRuntimePhase) continue;
        const bool valueAfter = calls[i + 1].op == MemoryPlatform::Op::RegSetValue || calls[i + 1].op == MemoryPlatform::Op::RegDeleteValue;
        EXPECT_FALSE(valueAfter) << "call " << i + 1 << " changes " << calls[i + 1].subject << " after Phase";
    }
}

struct OutcomeRow {
    const char* name;
    // Sets the service up: its platform, its agents, its Parameters key.
    std::function<void(MemoryPlatform&, SimulatedAgents::Behaviour&, const std::string&)> arrange;
    std::optional<uint32_t> control;  // sent once the agent runs
    std::string outcome;
};

class OutcomeTest : public RuntimeTest, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(OutcomeTest, IsWrittenBeforeTheStoppedReport) {
    const OutcomeRow& c = GetParam();
    c.arrange(os, installation, params);
    startHost();
    if (c.control) {
        ASSERT_TRUE(waitForAgents(1));
        ASSERT_TRUE(waitForReport(kRunning));
        os.postControl(*c.control);
    }
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(value(kRuntimePhase), kPhaseStopped);
    std::string outcome = value(kRuntimeOutcome).value_or("<none>");
    for (uint32_t agent : agents()) {  // a pid in the text is the agent's
        const size_t at = outcome.find(std::to_string(agent));
        if (at != std::string::npos) outcome.replace(at, std::to_string(agent).size(), "<agent>");
    }
    EXPECT_EQ(outcome, c.outcome);
    // The last platform calls before the stopped report wrote the account.
    const auto calls = os.calls();
    auto report = std::find_if(calls.rbegin(), calls.rend(), [](const MemoryPlatform::Call& call) {
        return call.op == MemoryPlatform::Op::SetServiceStatus && call.subject == "stopped";
    });
    ASSERT_NE(report, calls.rend());
    EXPECT_TRUE(std::any_of(report, calls.rend(), [](const MemoryPlatform::Call& call) {
        return call.op == MemoryPlatform::Op::RegSetValue && call.subject == kRuntimeOutcome;
    }));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OutcomeTest,
    ::testing::Values(
        OutcomeRow{"Stop", [](MemoryPlatform&, SimulatedAgents::Behaviour&, const std::string&) {}, win::kServiceControlStop, "stopped on request"},
        OutcomeRow{"StopTimeout",
                   []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) {
                       agents.agentHeedsStop = false;
                       os.setString(params, kStopTimeout, "5");
                   },
                   win::kServiceControlStop,
                   "stopped on request; ended after StopTimeout: 1 process of the agent's job (the scripts, the agent "
                   "and what they started)"},
        OutcomeRow{"ControlOneTwentyEight",
                   []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) {
                       os.setString(params, kStopTimeout, "2");
                   },
                   host::PROCESS_STOP_SERVER,
                   "stopped after control 128; ended after StopTimeout: 1 process of the agent's job (the scripts, the "
                   "agent and what they started)"},
        OutcomeRow{"AgentEnded",
                   []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) {
                       os.setString(params, kRestart, "false");
                       agents.agentRunsForMs = 1000;
                       agents.agentExitCode = 5;
                   },
                   std::nullopt, "the agent ended with exit code 5"},
        OutcomeRow{"NoNewPid", []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) { agents.writesPid = false; }, std::nullopt,
                   "no new pid in the pid file within 31 s"},
        OutcomeRow{"AlreadyRunning",
                   []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) {
                       const uint32_t live = os.spawnProcess({});
                       os.writeFile("C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile",
                                      std::to_string(live) + "\r\n");
                       os.setProcessCreationTime(live, os.systemTimeNow() - 60000);
                   },
                   std::nullopt, "the agent was already running (pid 1000)"},
        OutcomeRow{"NoPidFile",
                   []([[maybe_unused]] MemoryPlatform& os, [[maybe_unused]] SimulatedAgents::Behaviour& agents,
                      [[maybe_unused]] const std::string& params) {
                       os.deleteTree(params);
                   },
                   std::nullopt, "no AgentPidFile"}),
    rowName<OutcomeRow>);

}  // namespace
}  // namespace vornel::testing
