#include "common/service_control.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

using ServiceControlTest = MemoryTest;

struct StateTextRow {
    const char* name;
    uint32_t state;
    const char* text;
};

class ServiceStateTextTest : public ::testing::TestWithParam<StateTextRow> {};

TEST_P(ServiceStateTextTest, OneSentencePerStateAndOneForTheRest) {
    EXPECT_STREQ(serviceStateText(GetParam().state), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceStateTextTest,
    ::testing::Values(StateTextRow{"Zero", 0, "Unable to determine Service status."},
                      StateTextRow{"Stopped", 1, "The service is stopped."},
                      StateTextRow{"StartPending", 2, "The service start is pending."},
                      StateTextRow{"StopPending", 3, "The service stop is pending."},
                      StateTextRow{"Running", 4, "The service is running."},
                      StateTextRow{"ContinuePending", 5, "The service continue is pending."},
                      StateTextRow{"PausePending", 6, "The service pause is pending."},
                      StateTextRow{"Paused", 7, "The service is paused."},
                      StateTextRow{"Eight", 8, "Unable to determine Service status."},
                      StateTextRow{"AllBits", 0xFFFFFFFF, "Unable to determine Service status."}),
    rowName<StateTextRow>);

TEST_F(ServiceControlTest, TheOpenFailureReportGoesToTheErrorStreamOnly) {
    reportOpenServiceFailure(os, std::string("OrvikTamberVornel6100AgentService - x"), win::kErrorServiceDoesNotExist);
    reportOpenServiceFailure(os, std::nullopt, 123456);
    EXPECT_EQ(err(), "Could not open service 'OrvikTamberVornel6100AgentService - x'\n\treason: " +
                         systemText(win::kErrorServiceDoesNotExist) + "\nCould not open service '<null>'\n" +
                         "\treason: 123456\n");
    EXPECT_EQ(out(), "");
}

TEST_F(ServiceControlTest, ServicesAreOpenedWithTheToolsRights) {
    ServiceConfig config;
    config.name = "svc";
    config.binaryPathName = "x.exe";
    os.addService(config);
    ScHandle manager, service;
    ASSERT_EQ(openServiceManager(os, manager), 0u);
    EXPECT_EQ(openServiceByName(os, manager, "missing", kInfoToolServiceAccess, service),
              win::kErrorServiceDoesNotExist);
    ASSERT_EQ(openServiceByName(os, manager, "SVC", kInfoToolServiceAccess, service), 0u);
    EXPECT_EQ(os.startService(service), win::kErrorAccessDenied);
    EXPECT_EQ(kStartToolServiceAccess, 0x14u);
    EXPECT_EQ(kStopToolServiceAccess, 0x124u);
    EXPECT_EQ(kUninstallToolServiceAccess, 0x10004u);
    EXPECT_EQ(kInfoToolServiceAccess, 0x4u);
}

class OpenServiceForToolTest : public MemoryTest {
protected:
    OpenServiceForToolTest() {
        ServiceConfig config;
        config.name = "svc";
        config.binaryPathName = "x.exe";
        os.addService(config);
        enableTrace();
    }
    const OpenStepReports reports{"tool - manager trace", "Could not reach the manager", "tool - service trace"};
    ScHandle manager;
    ScHandle service;
};

TEST_F(OpenServiceForToolTest, BothHandlesAreOpenWhenBothOpensSucceed) {
    EXPECT_EQ(openServiceForTool(os, "svc", kUninstallToolServiceAccess, reports, manager, service), 0u);
    EXPECT_TRUE(manager.valid());
    EXPECT_TRUE(service.valid());
    EXPECT_EQ(err(), "");
    ServiceStatus status;
    EXPECT_EQ(os.queryServiceStatus(service, status), 0u) << "opened with the rights asked for";
}

TEST_F(OpenServiceForToolTest, AManagerThatCannotBeOpenedIsTracedThenReportedWithTheToolsLabel) {
    os.failNext(MemoryPlatform::Op::OpenSCManager, win::kErrorAccessDenied);
    EXPECT_EQ(openServiceForTool(os, "svc", kStartToolServiceAccess, reports, manager, service),
              win::kErrorAccessDenied);
    EXPECT_FALSE(manager.valid());
    EXPECT_EQ(trace(), std::vector<std::string>{"tool - manager trace"});
    std::string text = err();
    EXPECT_LT(text.find("tool - manager trace"), text.find("Could not reach the manager"));
    EXPECT_EQ(errWithoutTrace(), "Could not reach the manager: " + systemText(win::kErrorAccessDenied) + "\n");
    EXPECT_EQ(os.callCount(MemoryPlatform::Op::OpenService), 0u);
}

TEST_F(OpenServiceForToolTest, AServiceThatCannotBeOpenedIsReportedAndNothingStaysOpen) {
    EXPECT_EQ(openServiceForTool(os, "missing", kStopToolServiceAccess, reports, manager, service),
              win::kErrorServiceDoesNotExist);
    EXPECT_FALSE(manager.valid());
    EXPECT_FALSE(service.valid());
    EXPECT_EQ(os.openHandleCount(), 0u);
    EXPECT_EQ(trace(), std::vector<std::string>{"tool - service trace"});
    std::string text = err();
    EXPECT_LT(text.find("tool - service trace"), text.find("Could not open service"));
    EXPECT_EQ(errWithoutTrace(),
              "Could not open service 'missing'\n\treason: " + systemText(win::kErrorServiceDoesNotExist) + "\n");
}

TEST_F(OpenServiceForToolTest, WithoutTraceTextsOnlyTheReportsAreWritten) {
    const OpenStepReports quiet{nullptr, "Could not open service control manager", nullptr};
    os.failNext(MemoryPlatform::Op::OpenSCManager, 123456);
    EXPECT_EQ(openServiceForTool(os, "svc", kUninstallToolServiceAccess, quiet, manager, service), 123456u);
    EXPECT_EQ(openServiceForTool(os, "missing", kUninstallToolServiceAccess, quiet, manager, service),
              win::kErrorServiceDoesNotExist);
    EXPECT_TRUE(trace().empty());
    EXPECT_EQ(err(), "Could not open service control manager: 123456\nCould not open service 'missing'\n\treason: " +
                         systemText(win::kErrorServiceDoesNotExist) + "\n");
}

}  // namespace
}  // namespace vornel::testing
