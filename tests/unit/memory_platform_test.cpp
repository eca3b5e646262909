// The in-memory Windows that every unit test stands on: its clock, processes, dispatcher,
// service database and fault injection.
#include <atomic>
#include <utility>
#include <thread>

#include "test_support.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;
using MemoryPlatformTest = MemoryTest;

TEST_F(MemoryPlatformTest, TheNextCallOfAnOperationFailsAsToldAndOnlyThen) {
    os.failNext(Op::RegOpenKeyEx, win::kErrorAccessDenied, 2);
    RegKey key;
    EXPECT_EQ(os.regOpenKeyEx("SYSTEM", win::kKeyRead, key), win::kErrorAccessDenied);
    EXPECT_EQ(os.regCreateKeyEx("SYSTEM", key), 0u);
    EXPECT_EQ(os.regOpenKeyEx("SYSTEM", win::kKeyRead, key), win::kErrorAccessDenied);
    EXPECT_EQ(os.regOpenKeyEx("SYSTEM", win::kKeyRead, key), 0u);
}

TEST_F(MemoryPlatformTest, TheNthCallOfARunFailsAndEveryCallIsCounted) {
    os.resetCalls();
    os.failCall(3, win::kErrorInvalidHandle);
    RegKey a, b, c, d;
    EXPECT_EQ(os.regCreateKeyEx("X", a), 0u);
    EXPECT_EQ(os.regOpenKey("X", b), 0u);
    EXPECT_EQ(os.regOpenKeyEx("X", win::kKeyRead, c), win::kErrorInvalidHandle);
    EXPECT_EQ(os.regOpenKeyEx("X", win::kKeyRead, d), 0u);
    EXPECT_EQ(os.callCount(), 4u);
    EXPECT_EQ(os.callCount(Op::RegOpenKeyEx), 2u);
    EXPECT_EQ(os.callLog(), (std::vector<Op>{Op::RegCreateKeyEx, Op::RegOpenKey, Op::RegOpenKeyEx, Op::RegOpenKeyEx}));
}

TEST_F(MemoryPlatformTest, SleepsAndTimedOutWaitsAdvanceTheClockByTheirLength) {
    uint64_t start = os.nowMs();
    os.sleep(1000);
    EXPECT_EQ(os.nowMs(), start + 1000);

    MemoryPlatform::ProcessSpec script;
    script.runsForMs = 65000;
    script.exitCode = 4;
    uint32_t pid = os.spawnProcess(script);
    ProcessHandle process;
    ASSERT_EQ(os.openProcess(pid, win::kProcessAllAccess, process), 0u);
    int timeouts = 0;
    while (os.waitForProcess(process, 1000) == WaitResult::Timeout) ++timeouts;
    EXPECT_EQ(timeouts, 64);
    EXPECT_EQ(os.nowMs(), start + 1000 + 65000);
    uint32_t code = 0;
    EXPECT_EQ(os.getExitCodeProcess(process, code), 0u);
    EXPECT_EQ(code, 4u);
}

TEST_F(MemoryPlatformTest, WithoutRealPausesTheClockStillAdvancesByTheFullLength) {
    // With pauses these would take some twelve days of real time: finishing at all shows them off.
    os.setRealPauses(false);
    const uint64_t start = os.nowMs();
    os.sleep(1000000000);
    MemoryPlatform::ProcessSpec longRun;
    longRun.runsForMs = 2000000000;
    uint32_t pid = os.spawnProcess(longRun);
    ProcessHandle process;
    ASSERT_EQ(os.openProcess(pid, win::kProcessAllAccess, process), 0u);
    EXPECT_EQ(os.waitForProcess(process, 1000000000), WaitResult::Timeout);
    EXPECT_EQ(os.nowMs(), start + 2000000000);
    EXPECT_EQ(os.waitForProcess(process, 1000000000), WaitResult::Signaled);
    EXPECT_EQ(os.nowMs(), start + 3000000000u);
}

TEST_F(MemoryPlatformTest, ALaunchIsRecordedAndItsProcessDoesWhatTheLauncherSays) {
    os.setLauncher([this](const MemoryPlatform::Launch& launch) {
        MemoryPlatform::LaunchOutcome outcome;
        if (launch.workingDir == "C:\\missing") {
            outcome.error = win::kErrorDirectory;
            return outcome;
        }
        outcome.process.runsForMs = 2000;
        outcome.process.onExit = [this] {
            MemoryPlatform::ProcessSpec agent;
            uint32_t agentPid = os.spawnProcess(agent);
            os.writeFile("C:\\agent.pid", std::to_string(agentPid) + "\n");
        };
        return outcome;
    });
    ProcessInfo info;
    EXPECT_EQ(os.createProcess("\"C:\\a\\bin\\startAgent.bat\" ", "C:\\missing", info), win::kErrorDirectory);
    ASSERT_EQ(os.createProcess("\"C:\\a\\bin\\startAgent.bat\"  \"agent\"", "C:\\a\\bin", info), 0u);
    EXPECT_FALSE(os.fileContent("C:\\agent.pid").has_value());
    uint64_t start = os.nowMs();
    EXPECT_EQ(os.waitForProcess(info.process, win::kInfinite), WaitResult::Signaled);
    EXPECT_EQ(os.nowMs(), start + 2000);
    std::optional<std::string> pidFile = os.fileContent("C:\\agent.pid");
    ASSERT_TRUE(pidFile.has_value());
    EXPECT_TRUE(os.processRunning(static_cast<uint32_t>(std::stoul(*pidFile))));
    std::vector<MemoryPlatform::Launch> launches = os.launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[1].commandLine, "\"C:\\a\\bin\\startAgent.bat\"  \"agent\"");
    EXPECT_EQ(launches[1].workingDir, "C:\\a\\bin");
}

TEST_F(MemoryPlatformTest, AnEndedProcessCanBeOpenedAndItsHandleIsSignalled) {
    uint32_t pid = os.spawnProcess({});
    EXPECT_TRUE(os.processRunning(pid));
    os.endProcess(pid, 9);
    EXPECT_FALSE(os.processRunning(pid));
    ProcessHandle process;
    ASSERT_EQ(os.openProcess(pid, win::kProcessAllAccess, process), 0u);
    EXPECT_EQ(os.waitForProcess(process, 0), WaitResult::Signaled);
    ProcessHandle none;
    EXPECT_EQ(os.openProcess(0, win::kProcessAllAccess, none), win::kErrorInvalidParameter);
    EXPECT_EQ(os.openProcess(pid + 4000, win::kProcessAllAccess, none), win::kErrorInvalidParameter);
}

TEST_F(MemoryPlatformTest, TheDispatcherFailsOutsideTheServiceManager) {
    bool ran = false;
    EXPECT_EQ(os.runServiceDispatcher("svc", [&](int, char**) { ran = true; }),
              win::kErrorFailedServiceControllerConnect);
    EXPECT_FALSE(ran);
}

TEST_F(MemoryPlatformTest, TheDispatcherRunsTheMainOnItsOwnThreadAndDeliversControlsOnItsOwn) {
    os.setLaunchedByManager(true, {"a", "b"});
    std::thread::id dispatcherThread, mainThread;
    std::vector<std::string> arguments;
    std::vector<uint32_t> delivered;
    std::atomic<StatusHandle> handle{0};
    std::thread dispatcher([&] {
        dispatcherThread = std::this_thread::get_id();
        EXPECT_EQ(os.runServiceDispatcher("svc",
                                          [&](int argc, char** argv) {
                                              mainThread = std::this_thread::get_id();
                                              arguments.assign(argv, argv + argc);
                                              StatusHandle h = 0;
                                              os.registerServiceCtrlHandler(
                                                  "svc",
                                                  [&](uint32_t control) {
                                                      EXPECT_EQ(std::this_thread::get_id(), dispatcherThread);
                                                      delivered.push_back(control);
                                                      if (control == win::kServiceControlStop) {
                                                          os.setServiceStatus(handle, ServiceStatus{16, 1});
                                                      }
                                                  },
                                                  h);
                                              handle = h;
                                              os.setServiceStatus(h, ServiceStatus{16, 4, 1});
                                          }),
                  0u);
    });
    ASSERT_TRUE(os.waitUntil([&] { return os.statusReports().size() == 1; }));
    os.postControl(win::kServiceControlInterrogate);
    os.postControl(128);
    os.postControl(win::kServiceControlStop);
    dispatcher.join();
    os.joinServiceThread();
    EXPECT_NE(mainThread, dispatcherThread);
    EXPECT_EQ(arguments, (std::vector<std::string>{"svc", "a", "b"}));
    EXPECT_EQ(delivered, (std::vector<uint32_t>{4, 128, 1}));
    std::vector<MemoryPlatform::StatusReport> reports = os.statusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].onDispatcherThread);
    EXPECT_TRUE(reports[1].onDispatcherThread);
    EXPECT_EQ(reports[1].status.dwCurrentState, win::kServiceStopped);
}

TEST_F(MemoryPlatformTest, AStoppedReportFromTheMainWaitsForARunningHandler) {
    os.setLaunchedByManager(true);
    std::atomic<bool> inHandler{false}, releaseHandler{false}, mainReported{false};
    std::atomic<StatusHandle> handle{0};
    std::thread dispatcher([&] {
        os.runServiceDispatcher("svc", [&](int, char**) {
            StatusHandle h = 0;
            os.registerServiceCtrlHandler("svc",
                                          [&](uint32_t) {
                                              inHandler = true;
                                              while (!releaseHandler) std::this_thread::yield();
                                          },
                                          h);
            handle = h;
            os.setServiceStatus(h, ServiceStatus{16, 4, 1});
            while (!inHandler) std::this_thread::yield();
            os.setServiceStatus(h, ServiceStatus{16, 1});
            mainReported = true;
        });
    });
    ASSERT_TRUE(os.waitUntil([&] { return handle != 0; }));
    os.postControl(128);
    // The report is made at once, but the call returns only after the handler has.
    ASSERT_TRUE(os.waitUntil([&] { return os.statusReports().size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(mainReported);
    releaseHandler = true;
    dispatcher.join();
    os.joinServiceThread();
    EXPECT_TRUE(mainReported);
    EXPECT_FALSE(os.hangDetected());
}

TEST_F(MemoryPlatformTest, TheServiceAwaitsATestOnlyWhenNothingButTheTestCanMoveIt) {
    os.setLaunchedByManager(true);
    uint32_t agent = os.spawnProcess({});
    MemoryPlatform::ProcessSpec shortLived;
    shortLived.runsForMs = 5000;
    uint32_t endsByItself = os.spawnProcess(shortLived);
    std::atomic<bool> handlerMayReturn{false}, waitedForAgent{false}, mainMayReturn{false};
    std::atomic<StatusHandle> handle{0};
    EXPECT_FALSE(os.serviceAwaitsTest()) << "no dispatcher yet";
    std::thread dispatcher([&] {
        os.runServiceDispatcher("svc", [&](int, char**) {
            StatusHandle h = 0;
            os.registerServiceCtrlHandler("svc",
                                          [&](uint32_t control) {
                                              while (!handlerMayReturn) std::this_thread::yield();
                                              if (control == win::kServiceControlStop) {
                                                  os.setServiceStatus(handle, ServiceStatus{16, 1});
                                              }
                                          },
                                          h);
            handle = h;
            ProcessHandle process;
            // A process that ends by itself is waited for without the test.
            os.openProcess(endsByItself, win::kProcessAllAccess, process);
            os.waitForProcess(process, win::kInfinite);
            os.openProcess(agent, win::kProcessAllAccess, process);
            os.waitForProcess(process, win::kInfinite);
            waitedForAgent = true;
            while (!mainMayReturn) std::this_thread::yield();
        });
    });
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    EXPECT_TRUE(os.serviceMainRunning());
    EXPECT_FALSE(os.processRunning(endsByItself));
    os.postControl(128);
    EXPECT_FALSE(os.serviceAwaitsTest()) << "a control is queued or being handled";
    handlerMayReturn = true;
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    os.endProcess(agent);
    EXPECT_FALSE(os.serviceAwaitsTest()) << "the service main goes on once it has woken";
    ASSERT_TRUE(os.waitUntil([&] { return waitedForAgent.load(); }));
    EXPECT_FALSE(os.serviceAwaitsTest()) << "the service main runs";
    mainMayReturn = true;
    ASSERT_TRUE(os.waitUntil([&] { return !os.serviceMainRunning(); }));
    EXPECT_TRUE(waitedForAgent);
    EXPECT_TRUE(os.serviceAwaitsTest()) << "the service main has returned, the dispatcher waits";
    os.postControl(win::kServiceControlStop);
    dispatcher.join();
    os.joinServiceThread();
    EXPECT_FALSE(os.serviceAwaitsTest()) << "the dispatcher has returned";
    EXPECT_FALSE(os.hangDetected());
}

TEST_F(MemoryPlatformTest, AStatusReportWithoutAHandleFails) {
    EXPECT_EQ(os.setServiceStatus(0, ServiceStatus{}), win::kErrorInvalidHandle);
}

TEST_F(MemoryPlatformTest, ServicesFollowTheServiceManagersRules) {
    ServiceConfig config;
    config.name = "Svc";
    config.displayName = std::string("The Svc");
    config.binaryPathName = "\"C:\\a\\bin\\x.exe\" \"Svc\"";
    os.addService(config);
    ScHandle manager, service, other;
    ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
    ServiceConfig sameName = config;
    sameName.name = "SVC";
    sameName.displayName = std::string("Another");
    EXPECT_EQ(os.createService(manager, sameName, other), win::kErrorServiceExists);
    ServiceConfig sameDisplayName = config;
    sameDisplayName.name = "Svc2";
    EXPECT_EQ(os.createService(manager, sameDisplayName, other), win::kErrorDuplicateServiceName);
    ServiceConfig tooLong = config;
    tooLong.name = std::string(257, 'n');
    tooLong.displayName.reset();
    EXPECT_EQ(os.createService(manager, tooLong, other), win::kErrorInvalidName);
    ScHandle nullManager;
    EXPECT_EQ(os.createService(nullManager, sameDisplayName, other), win::kErrorInvalidHandle);

    EXPECT_EQ(os.stringValue("SYSTEM\\CurrentControlSet\\Services\\Svc", "ImagePath"), config.binaryPathName);
    ASSERT_EQ(os.openService(manager, "svc", win::kServiceAllAccess, service), 0u);
    EXPECT_EQ(os.startService(service), 0u);
    EXPECT_EQ(os.startService(service), win::kErrorServiceAlreadyRunning);
    ServiceStatus status;
    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), 0u);
    EXPECT_EQ(status.dwCurrentState, win::kServiceStopped);
    EXPECT_EQ(os.controlService(service, win::kServiceControlStop, status), win::kErrorServiceNotActive);

    os.createKey("SYSTEM\\CurrentControlSet\\Services\\Svc\\Parameters");
    EXPECT_EQ(os.deleteService(service), 0u);
    EXPECT_EQ(os.deleteService(service), win::kErrorServiceMarkedForDelete);
    EXPECT_TRUE(os.service("Svc").has_value());
    service.reset();
    EXPECT_FALSE(os.service("Svc").has_value());
    EXPECT_FALSE(os.keyExists("SYSTEM\\CurrentControlSet\\Services\\Svc"));
}

TEST_F(MemoryPlatformTest, AConfigurationChangeTouchesOnlyWhatItIsGiven) {
    ServiceConfig config;
    config.name = "Svc";
    config.startType = win::kServiceDisabled;
    config.account = std::string(".\\bob");
    config.password = std::string("first");
    config.binaryPathName = "x.exe";
    ScHandle manager, service;
    ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
    ASSERT_EQ(os.createService(manager, config, service), 0u);
    EXPECT_EQ(os.service("Svc")->config.password, std::string("first"));

    EXPECT_EQ(os.changeServiceConfig(service, win::kServiceNoChange, std::nullopt, std::nullopt), 0u);
    ServiceConfig unchanged = os.service("Svc")->config;
    EXPECT_EQ(unchanged.startType, win::kServiceDisabled);
    EXPECT_EQ(unchanged.account, std::string(".\\bob"));
    EXPECT_EQ(unchanged.password, std::string("first"));

    EXPECT_EQ(os.changeServiceConfig(service, win::kServiceAutoStart, std::nullopt, std::string("second")), 0u);
    ServiceConfig changed = os.service("Svc")->config;
    EXPECT_EQ(changed.startType, win::kServiceAutoStart);
    EXPECT_EQ(changed.account, std::string(".\\bob"));
    EXPECT_EQ(changed.password, std::string("second"));
    EXPECT_EQ(os.value("SYSTEM\\CurrentControlSet\\Services\\Svc", "Start")->data, std::string("\x02\0\0\0", 4));

    ScHandle readOnly;
    ASSERT_EQ(os.openService(manager, "Svc", win::kServiceQueryStatus, readOnly), 0u);
    EXPECT_EQ(os.changeServiceConfig(readOnly, win::kServiceDemandStart, std::nullopt, std::nullopt),
              win::kErrorAccessDenied);
}

TEST_F(MemoryPlatformTest, ChildKeysEnumerateInCaseInsensitiveOrderInTheirStoredCase) {
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2"}) os.createKey(std::string("R\\") + name);
    EXPECT_EQ(os.subKeys("r"), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    RegKey key;
    ASSERT_EQ(os.regOpenKey("R", key), 0u);
    std::string name;
    ASSERT_EQ(os.regEnumKey(key, 1, name), 0u);
    EXPECT_EQ(name, "ALPHA2");
}

struct TextFileRow {
    const char* name;
    std::string stored;
    std::string read;
};

// A failing row shows its bytes escaped.
void PrintTo(const TextFileRow& row, std::ostream* out) {
    *out << row.name << ": " << ::testing::PrintToString(row.stored);
}

class MemoryPlatformTextFileTest : public MemoryPlatformTest, public ::testing::WithParamInterface<TextFileRow> {};

TEST_P(MemoryPlatformTextFileTest, ReadsAsTheCRuntimeReadsItInTextMode) {
    const TextFileRow& row = GetParam();
    os.writeFile("C:\\agent.pid", row.stored);
    std::string content = "left over";
    ASSERT_EQ(os.readTextFile("c:\\AGENT.pid", content), 0u);
    EXPECT_EQ(content, row.read);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Rows, MemoryPlatformTextFileTest,
    ::testing::Values(TextFileRow{"CrLfBecomesLf", "123\r\n"s, "123\n"s},
                      // Only a CR right before an LF goes.
                      TextFileRow{"OnlyTheCrBeforeAnLfGoes", "5\r\r\n\r"s, "5\r\n\r"s},
                      // A Ctrl-Z ends the file.
                      TextFileRow{"CtrlZEndsTheFile", "12\x1a" "34\n"s, "12"s},
                      TextFileRow{"CtrlZFirstGivesNothing", "\x1a" "99\n"s, ""s},
                      // Zero bytes are data.
                      TextFileRow{"ZeroBytesAreData", "\0" "1\n2\n"s, "\0" "1\n2\n"s}),
    rowName<TextFileRow>);

}  // namespace
}  // namespace vornel::testing
