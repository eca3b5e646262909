// The control handler, called directly: what each control reports and changes.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

using host::VornelAgentServiceCtrl;

constexpr uint32_t kNone = 0;
constexpr uint32_t kAccepted = host::kAcceptedControls;

struct ControlRow {
    const char* name;
    uint32_t stateBefore;
    uint32_t reportedState;
    std::vector<uint32_t> controls;
    Expected last;  // the last report
    size_t reportCount;
    bool restartAfter;
    bool stopRequestedAfter;
    size_t stopScripts;
};

void PrintTo(const ControlRow& row, std::ostream* os) { *os << row.name; }

class ControlHandlerTest : public HostTest {};

class ControlRowTest : public ControlHandlerTest, public ::testing::WithParamInterface<ControlRow> {};

TEST_P(ControlRowTest, EachControlReportsAndChangesWhatItShould) {
    const ControlRow& c = GetParam();
    auto host = directContext();
    host->update([&](ServiceStatus& s) {
        s.dwCurrentState = c.stateBefore;
        s.dwWin32ExitCode = 1066;
        s.dwServiceSpecificExitCode = 5;
    });
    host->reportedState = c.reportedState;
    for (uint32_t control : c.controls) VornelAgentServiceCtrl(*host, control);
    // A stop runs on a thread of its own: wait for it to end.
    ASSERT_TRUE(os.waitClients());
    auto all = reports();
    ASSERT_EQ(all.size(), c.reportCount);
    EXPECT_TRUE(matches(all.back(), c.last));
    // Every control is acknowledged with stops accepted and a raised checkpoint.
    EXPECT_TRUE(matches(all[0], Expected{c.stateBefore, kAccepted, 0u, {}, 1u, 40000u}));
    EXPECT_EQ(host->doRestartServer.load(), c.restartAfter);
    EXPECT_EQ(host->stopRequested.load(), c.stopRequestedAfter);
    EXPECT_EQ(launchesOf("stopAgent.bat"), c.stopScripts);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControlRowTest,
    ::testing::Values(
        ControlRow{"InterrogateBeforeAnyReport", kNone, win::kServiceRunning, {4}, {4u, kAccepted, 0u, {}, 2u, 40000u},
                   2, true, false, 0},
        ControlRow{"InterrogateWhileStartPending", win::kServiceStartPending, win::kServiceStartPending, {4},
                   {2u, kAccepted, 0u, {}, 2u, 40000u}, 2, true, false, 0},
        ControlRow{"UnknownControl", win::kServiceRunning, win::kServiceRunning, {129},
                   {4u, kAccepted, 0u, {}, 1u, 40000u}, 1, true, false, 0},
        ControlRow{"StopTheSupervisionOnly", win::kServiceRunning, win::kServiceRunning, {128},
                   {3u, kAccepted, 0u, {}, 1u, 40000u}, 2, false, false, 0},
        ControlRow{"InterrogateAfter128", win::kServiceRunning, win::kServiceRunning, {128, 4},
                   {4u, kAccepted, 0u, {}, 3u, 40000u}, 4, false, false, 0},
        // Nothing the host launched runs: stopped at once, no script.
        ControlRow{"StopWhileStartPendingWithNothingLaunched", win::kServiceStartPending, win::kServiceStartPending,
                   {1}, {1u, kAccepted, 0u, {}, 1u, 40000u}, 2, true, false, 0},
        ControlRow{"StopWhileStopPendingAfter128WithNothingLaunched", win::kServiceStopPending, win::kServiceRunning,
                   {1}, {1u, kAccepted, 0u, {}, 1u, 40000u}, 2, true, false, 0},
        ControlRow{"PreshutdownWhileStartPendingWithNothingLaunched", win::kServiceStartPending,
                   win::kServiceStartPending, {0xF}, {1u, kAccepted, 0u, {}, 1u, 40000u}, 2, true, false, 0},
        // Acknowledgement, stop pending, two checkpoints while the 3-second script runs, stopped.
        ControlRow{"StopWhileRunning", win::kServiceRunning, win::kServiceRunning, {1},
                   {1u, kAccepted, 0u, 0u, 3u, 40000u}, 5, false, true, 1},
        ControlRow{"PreshutdownWhileRunning", win::kServiceRunning, win::kServiceRunning, {0xF},
                   {1u, kAccepted, 0u, 0u, 3u, 40000u}, 5, false, true, 1},
        ControlRow{"ShutdownWhileRunning", win::kServiceRunning, win::kServiceRunning, {5},
                   {1u, kAccepted, 0u, 0u, 3u, 40000u}, 5, false, true, 1}),
    rowName<ControlRow>);

TEST_F(ControlHandlerTest, TracesEachControl) {
    auto host = directContext();
    enableTrace();
    const std::string plus(81, '+');
    VornelAgentServiceCtrl(*host, 129);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           plus,
                           "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 129 - 0",
                           "VornelAgentService - VornelAgentServiceCtrl - default",
                           "VornelAgentService - VornelAgentServiceCtrl - exit",
                           plus,
                       }));

    host->update([](ServiceStatus& s) { s.dwCurrentState = win::kServiceRunning; });
    size_t before = trace().size();
    VornelAgentServiceCtrl(*host, win::kServiceControlStop);
    // The handler has returned at once; the stop goes on on its own thread.
    ASSERT_TRUE(os.waitClients());
    auto lines = trace();
    std::vector<std::string> stop(lines.begin() + static_cast<long>(before), lines.end());
    ASSERT_GE(stop.size(), 4u);
    EXPECT_EQ(stop[1], "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 1 - 0");
    EXPECT_EQ(stop[2], "VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
    EXPECT_EQ(stop[3], "About to stop service thread.");
    EXPECT_NE(std::find(stop.begin(), stop.end(), "VornelAgentService - stopServer - stopAgent script has completed"),
              stop.end());
    EXPECT_EQ(stop.back(), "VornelAgentService - stopServer - reporting stopped");
    EXPECT_EQ(std::count(stop.begin(), stop.end(), "VornelAgentService - VornelAgentServiceCtrl - exit"), 0);
}

TEST_F(ControlHandlerTest, AStopRunsHereWhenNoThreadCanBeStarted) {
    auto host = directContext();
    enableTrace();
    host->update([](ServiceStatus& s) { s.dwCurrentState = win::kServiceRunning; });
    os.failNext(MemoryPlatform::Op::StartThread, win::kErrorAccessDenied);
    VornelAgentServiceCtrl(*host, win::kServiceControlStop);
    // The handler returns only once the stop is over.
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceStopped, {}, 0u, 0u, {}, {}}));
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceCtrl - no stop thread (5): the stop runs here"));
}

}  // namespace
}  // namespace vornel::testing
