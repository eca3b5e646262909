// The control handler, called directly: what each control reports and changes.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

using host::VornelAgentServiceCtrl;

struct ControlCase {
    const char* label;
    uint32_t stateBefore;
    uint32_t reportedState;
    std::vector<uint32_t> controls;
    Expected last;  // the last report
    size_t reportCount;
    bool restartAfter;
    bool stopRequestedAfter;
    size_t stopScripts;
};

class ControlHandlerTest : public HostTest {};

TEST_F(ControlHandlerTest, EachControlReportsAndChangesWhatItShould) {
    const uint32_t kNone = 0;
    const ControlCase cases[] = {
        {"interrogate before any report", kNone, win::kServiceRunning, {4}, {4u, 1u, 0u, {}, 2u, 40000u}, 2, true,
         false, 0},
        {"interrogate while start pending", win::kServiceStartPending, win::kServiceStartPending, {4},
         {2u, 1u, 0u, {}, 2u, 40000u}, 2, true, false, 0},
        {"unknown control", win::kServiceRunning, win::kServiceRunning, {129}, {4u, 1u, 0u, {}, 1u, 40000u}, 1, true,
         false, 0},
        {"stop the supervision only", win::kServiceRunning, win::kServiceRunning, {128}, {3u, 1u, 0u, {}, 1u, 40000u},
         2, false, false, 0},
        {"interrogate after 128", win::kServiceRunning, win::kServiceRunning, {128, 4}, {4u, 1u, 0u, {}, 3u, 40000u},
         4, false, false, 0},
        {"stop while start pending", win::kServiceStartPending, win::kServiceStartPending, {1},
         {1u, 1u, 0u, {}, 1u, 40000u}, 2, true, false, 0},
        {"stop while stop pending", win::kServiceStopPending, win::kServiceRunning, {1}, {1u, 1u, 0u, {}, 1u, 40000u},
         2, true, false, 0},
        // Acknowledgement, stop pending, two checkpoints while the 3-second script runs, stopped.
        {"stop while running", win::kServiceRunning, win::kServiceRunning, {1}, {1u, 1u, 0u, 0u, 3u, 40000u}, 5,
         false, true, 1},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.label);
        auto host = directContext();
        host->update([&](ServiceStatus& s) {
            s.dwCurrentState = c.stateBefore;
            s.dwWin32ExitCode = 1066;
            s.dwServiceSpecificExitCode = 5;
        });
        host->reportedState = c.reportedState;
        size_t before = reports().size();
        size_t stopsBefore = launchesOf("stopAgent.bat");
        for (uint32_t control : c.controls) VornelAgentServiceCtrl(*host, control);
        auto all = reports();
        ASSERT_EQ(all.size() - before, c.reportCount);
        EXPECT_TRUE(matches(all.back(), c.last));
        // Every control is acknowledged with stops accepted and a raised checkpoint.
        EXPECT_TRUE(matches(all[before], Expected{c.stateBefore, 1u, 0u, {}, 1u, 40000u}));
        EXPECT_EQ(host->doRestartServer.load(), c.restartAfter);
        EXPECT_EQ(host->stopRequested.load(), c.stopRequestedAfter);
        EXPECT_EQ(launchesOf("stopAgent.bat") - stopsBefore, c.stopScripts);
    }
}

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
    auto lines = trace();
    std::vector<std::string> stop(lines.begin() + static_cast<long>(before), lines.end());
    ASSERT_GE(stop.size(), 4u);
    EXPECT_EQ(stop[1], "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 1 - 0");
    EXPECT_EQ(stop[2], "VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
    EXPECT_EQ(stop[3], "About to stop service thread.");
    EXPECT_EQ(stop.back(), "VornelAgentService - stopServer - stopAgent script has completed");
    EXPECT_EQ(std::count(stop.begin(), stop.end(), "VornelAgentService - VornelAgentServiceCtrl - exit"), 0);
}

}  // namespace
}  // namespace vornel::testing
