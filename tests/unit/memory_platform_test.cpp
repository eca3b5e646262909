// The in-memory Windows that every unit test stands on: its clock, processes, dispatcher,
// service database and fault injection.
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
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
    EXPECT_EQ(os.createProcess("\"C:\\a\\bin\\startAgent.bat\" ", "C:\\missing", StartMode::Running, info), win::kErrorDirectory);
    ASSERT_EQ(os.createProcess("\"C:\\a\\bin\\startAgent.bat\"  \"agent\"", "C:\\a\\bin", StartMode::Running, info), 0u);
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

// A service process with the dispatcher, a service main and a control handler, each step of
// which the test writes down.
class ServiceProcessTest : public MemoryTest {
protected:
    ServiceProcessTest() {
        os.setLaunchedByManager(true, {"a", "b"});
        ServiceConfig config;
        config.name = "svc";
        os.addService(config);
    }

    // Runs a service process whose service main is `main` and whose handler is `handler`;
    // status reports go through `handle`. After the dispatcher has returned, the process's
    // main thread lingers for `lingerMs` before the process ends.
    void start(std::function<void()> main, std::function<void(uint32_t)> handler, uint32_t lingerMs = 0) {
        os.startServiceProcess([this, main, handler, lingerMs] {
            mainThread = std::this_thread::get_id();
            ErrorCode rc = os.runServiceDispatcher("svc", [this, main, handler](int argc, char** argv) {
                serviceMainThread = std::this_thread::get_id();
                arguments.assign(argv, argv + argc);
                StatusHandle h = 0;
                EXPECT_EQ(os.registerServiceCtrlHandlerEx(
                              "svc",
                              [handler](uint32_t control) {
                                  handler(control);
                                  return uint32_t{0};
                              },
                              h),
                          0u);
                handle = h;
                main();
            });
            if (lingerMs != 0) os.sleep(lingerMs);
            return rc == 0 ? 0 : 1;
        });
    }

    void report(uint32_t state) { EXPECT_EQ(os.setServiceStatus(handle, ServiceStatus{16, state, 1}), 0u); }
    void note(const std::string& step) {
        std::lock_guard<std::mutex> lock(mutex_);
        steps.push_back(step);
    }
    std::vector<std::string> noted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return steps;
    }

    std::thread::id mainThread, serviceMainThread;
    std::vector<std::string> arguments;
    std::atomic<StatusHandle> handle{0};

private:
    std::mutex mutex_;
    std::vector<std::string> steps;
};

TEST_F(ServiceProcessTest, TheServiceMainAndTheHandlerRunOnThreadsOfTheirOwn) {
    std::vector<uint32_t> delivered;
    std::set<std::thread::id> handlerThreads;
    start([this] { report(win::kServiceRunning); },
          [&](uint32_t control) {
              handlerThreads.insert(std::this_thread::get_id());
              delivered.push_back(control);
              if (control == win::kServiceControlStop) report(win::kServiceStopped);
          });
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    os.postControl(win::kServiceControlInterrogate);
    os.postControl(128);
    os.postControl(win::kServiceControlStop);
    ASSERT_EQ(os.waitServiceProcess(), 0);
    EXPECT_EQ(arguments, (std::vector<std::string>{"svc", "a", "b"}));
    EXPECT_EQ(delivered, (std::vector<uint32_t>{4, 128, 1}));
    ASSERT_EQ(handlerThreads.size(), 1u);
    EXPECT_NE(*handlerThreads.begin(), mainThread);
    EXPECT_NE(*handlerThreads.begin(), serviceMainThread);
    EXPECT_NE(mainThread, serviceMainThread);
    std::vector<MemoryPlatform::StatusReport> reports = os.statusReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[0].fromHandler);
    EXPECT_TRUE(reports[1].fromHandler);
    EXPECT_EQ(reports[1].status.dwCurrentState, win::kServiceStopped);
}

TEST_F(ServiceProcessTest, AStoppedReportFromAnotherThreadReturnsOnlyOnceTheHandlerHasReturned) {
    std::atomic<bool> inHandler{false};
    start(
        [&] {
            report(win::kServiceRunning);
            while (!inHandler) os.sleep(100);
            note("main reports stopped");
            report(win::kServiceStopped);
            note("main's report returned");
        },
        [&](uint32_t) {
            inHandler = true;
            note("handler runs");
            os.sleep(5000);
            note("handler returns");
        },
        10000);
    ASSERT_TRUE(os.waitUntil([&] { return os.statusReports().size() == 1; }));
    os.postControl(128);
    ASSERT_EQ(os.waitServiceProcess(), 0);
    EXPECT_EQ(noted(), (std::vector<std::string>{"handler runs", "main reports stopped", "handler returns",
                                                 "main's report returned"}));
    EXPECT_FALSE(os.hangDetected());
}

// A client that sends the control to the service "svc" and leaves the answer to the records.
std::function<void()> controlClient(MemoryPlatform& os, uint32_t control) {
    return [&os, control] {
        ScHandle manager, service;
        ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
        ASSERT_EQ(os.openService(manager, "svc",
                                 win::kServiceStop | win::kServiceInterrogate | win::kServiceUserDefinedControl,
                                 service),
                  0u);
        ServiceStatus status;
        (void)os.controlService(service, control, status);
    };
}

TEST_F(ServiceProcessTest, AControlIsAnsweredWhenItsHandlerReturnsAndTheNextWaitsBehindIt) {
    // The interrogation's handler takes 6 s, the stop's 3 s; the process lingers 5 s after
    // the dispatcher has returned, so that the stop's answer reaches its sender.
    start([this] { report(win::kServiceRunning); },
          [this](uint32_t control) {
              os.sleep(control == win::kServiceControlInterrogate ? 6000 : 3000);
              if (control == win::kServiceControlStop) report(win::kServiceStopped);
          },
          5000);
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    // Two clients at once; the first asks first.
    os.startClients({{"first", controlClient(os, win::kServiceControlInterrogate)},
                     {"second", controlClient(os, win::kServiceControlStop)}});
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(os.waitServiceProcess(), 0);
    std::vector<MemoryPlatform::ControlAnswer> answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].client, "first");
    EXPECT_EQ(answers[0].result, 0u);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs + 6000);
    EXPECT_EQ(answers[1].client, "second");
    EXPECT_EQ(answers[1].result, 0u);
    EXPECT_EQ(answers[1].sentAtMs, answers[0].sentAtMs);
    EXPECT_EQ(answers[1].answeredAtMs, answers[1].sentAtMs + 6000 + 3000);
}

TEST_F(ServiceProcessTest, ASenderGivesUpAfterTenSeconds) {
    // The handler of 128 takes 15 s; the service main sends it at once from a client, then
    // reports stopped at 12 s.
    start(
        [this] {
            report(win::kServiceRunning);
            os.startClient("slow", controlClient(os, 128));
            os.sleep(12000);
            report(win::kServiceStopped);
        },
        [this](uint32_t) { os.sleep(15000); });
    EXPECT_EQ(os.waitServiceProcess(), 0);
    ASSERT_TRUE(os.waitClients());
    std::vector<MemoryPlatform::ControlAnswer> answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, win::kErrorServiceRequestTimeout);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs + 10000);
}

TEST_F(ServiceProcessTest, AStoppedReportUnderARunningHandlerLosesItsAnswer) {
    // The handler of 128 takes 5 s; the service main reports stopped at 2 s, under it. The
    // process lingers long enough for the handler to return: its answer is lost all the same.
    start(
        [this] {
            report(win::kServiceRunning);
            os.startClient("client", controlClient(os, 128));
            os.sleep(2000);
            report(win::kServiceStopped);
        },
        [this](uint32_t) { os.sleep(5000); }, 10000);
    EXPECT_EQ(os.waitServiceProcess(), 0);
    ASSERT_TRUE(os.waitClients());
    std::vector<MemoryPlatform::ControlAnswer> answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, win::kErrorNoData);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs + 5000);
}

TEST_F(ServiceProcessTest, AnAnswerThatTheProcessDidNotLiveToGiveIsABrokenPipe) {
    start(
        [this] {
            report(win::kServiceRunning);
            os.startClient("client", controlClient(os, 128));
            os.sleep(2000);
            report(win::kServiceStopped);
        },
        [this](uint32_t) { os.sleep(5000); });
    EXPECT_EQ(os.waitServiceProcess(), 0);
    ASSERT_TRUE(os.waitClients());
    std::vector<MemoryPlatform::ControlAnswer> answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, win::kErrorBrokenPipe);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs + 2000);
}

TEST_F(ServiceProcessTest, TimePassesOnlyWhenEveryThreadWaits) {
    // The service main sleeps in steps of 1 s while the handler works through a 2.5-s wait;
    // each wakes at its own virtual times, whatever the real speed of the threads.
    std::vector<uint64_t> mainWakes, handlerWakes;
    start(
        [&] {
            report(win::kServiceRunning);
            for (int i = 0; i < 4; ++i) {
                os.sleep(1000);
                mainWakes.push_back(os.nowMs());
            }
        },
        [&](uint32_t) {
            uint32_t pid = os.spawnProcess(MemoryPlatform::ProcessSpec{2500, 0, nullptr, "script"});
            ProcessHandle script;
            ASSERT_EQ(os.openProcess(pid, win::kProcessAllAccess, script), 0u);
            while (os.waitForProcess(script, 1000) == WaitResult::Timeout) handlerWakes.push_back(os.nowMs());
            handlerWakes.push_back(os.nowMs());
            report(win::kServiceStopped);
        });
    os.postControl(128);
    ASSERT_EQ(os.waitServiceProcess(), 0);
    EXPECT_EQ(mainWakes, (std::vector<uint64_t>{1000, 2000}));  // the process ended at 2500
    EXPECT_EQ(handlerWakes, (std::vector<uint64_t>{1000, 2000, 2500}));
}

TEST_F(MemoryPlatformTest, TheSameServiceProcessMakesTheSameCallsEveryRun) {
    auto run = [] {
        MemoryPlatform platform;
        platform.setRealPauses(false);
        platform.setLaunchedByManager(true);
        std::atomic<StatusHandle> handle{0};
        platform.startServiceProcess([&] {
            return platform.runServiceDispatcher("svc", [&](int, char**) {
                StatusHandle h = 0;
                (void)platform.registerServiceCtrlHandlerEx(
                    "svc",
                    [&](uint32_t control) {
                        for (int i = 0; i < 3; ++i) platform.sleep(700);
                        (void)platform.setServiceStatus(handle, ServiceStatus{16, control == 1 ? 1u : 3u});
                        return uint32_t{0};
                    },
                    h);
                handle = h;
                (void)platform.setServiceStatus(h, ServiceStatus{16, 4, 1});
                for (int i = 0; i < 10; ++i) {
                    // The administrator acts at fixed points of the process's own course.
                    if (i == 2) platform.postControl(128);
                    if (i == 3) platform.postControl(1);
                    std::string content;
                    (void)platform.readTextFile("C:\\pid", content);
                    platform.sleep(500);
                }
            }) == 0 ? 0 : 1;
        });
        EXPECT_EQ(platform.waitServiceProcess(), 0);
        std::vector<std::string> calls;
        for (const MemoryPlatform::Call& c : platform.calls()) {
            calls.push_back(c.thread + ": " + MemoryPlatform::opName(c.op) + " " + c.subject);
        }
        return calls;
    };
    const std::vector<std::string> first = run();
    EXPECT_GT(first.size(), 20u);
    EXPECT_NE(std::find(first.begin(), first.end(), "control: Sleep 700"), first.end());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(run(), first);
}

TEST_F(ServiceProcessTest, OnceTheEntryHasReturnedNoOtherThreadRuns) {
    std::atomic<int> laps{0};
    start(
        [&] {
            report(win::kServiceRunning);
            for (;;) {
                os.sleep(1000);
                ++laps;
            }
        },
        [this](uint32_t) { report(win::kServiceStopped); });
    os.postControl(win::kServiceControlStop);
    ASSERT_EQ(os.waitServiceProcess(), 0);
    EXPECT_TRUE(os.serviceProcessEnded());
    const uint64_t calls = os.callCount();
    const int lapsAtEnd = laps;
    os.advance(60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(os.callCount(), calls);
    EXPECT_EQ(laps, lapsAtEnd);
    EXPECT_FALSE(os.serviceMainRunning());
}

TEST_F(ServiceProcessTest, TheProcessAwaitsATestOnlyWhenNothingButTheTestCanMoveIt) {
    uint32_t agent = os.spawnProcess({});
    uint32_t endsByItself = os.spawnProcess(MemoryPlatform::ProcessSpec{5000, 0, nullptr, "short"});
    EXPECT_FALSE(os.serviceAwaitsTest()) << "no service process yet";
    start(
        [&] {
            ProcessHandle process;
            // A process that ends by itself is waited for without the test.
            ASSERT_EQ(os.openProcess(endsByItself, win::kProcessAllAccess, process), 0u);
            (void)os.waitForProcess(process, win::kInfinite);
            note("short one ended");
            ASSERT_EQ(os.openProcess(agent, win::kProcessAllAccess, process), 0u);
            (void)os.waitForProcess(process, win::kInfinite);
            note("agent ended");
        },
        [&](uint32_t control) {
            if (control == win::kServiceControlStop) report(win::kServiceStopped);
        });
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    EXPECT_EQ(noted(), std::vector<std::string>{"short one ended"});
    EXPECT_TRUE(os.serviceMainRunning());
    os.endProcess(agent);
    ASSERT_TRUE(os.waitUntil([&] { return !os.serviceMainRunning(); }));
    EXPECT_EQ(noted(), (std::vector<std::string>{"short one ended", "agent ended"}));
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }))
        << "the service main has returned, the dispatcher waits";
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(os.waitServiceProcess(), 0);
    EXPECT_FALSE(os.serviceAwaitsTest()) << "the process has ended";
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
