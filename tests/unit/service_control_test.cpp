#include "common/service_control.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

using ServiceControlTest = MemoryTest;

TEST(ServiceStateText, OneSentencePerStateAndOneForTheRest) {
    struct Case {
        uint32_t state;
        const char* text;
    } cases[] = {
        {0, "Unable to determine Service status."},
        {1, "The service is stopped."},
        {2, "The service start is pending."},
        {3, "The service stop is pending."},
        {4, "The service is running."},
        {5, "The service continue is pending."},
        {6, "The service pause is pending."},
        {7, "The service is paused."},
        {8, "Unable to determine Service status."},
        {0xFFFFFFFF, "Unable to determine Service status."},
    };
    for (const Case& c : cases) EXPECT_STREQ(serviceStateText(c.state), c.text) << c.state;
}

TEST_F(ServiceControlTest, TheOpenFailureReportGoesToTheErrorStreamOnly) {
    reportOpenServiceFailure(os, std::string("OrvikTamberVornel6100AgentService - x"), win::ERROR_SERVICE_DOES_NOT_EXIST);
    reportOpenServiceFailure(os, std::nullopt, 123456);
    EXPECT_EQ(err(), "Could not open service 'OrvikTamberVornel6100AgentService - x'\n\treason: " +
                         systemText(win::ERROR_SERVICE_DOES_NOT_EXIST) + "\nCould not open service '<null>'\n" +
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
              win::ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_EQ(openServiceByName(os, manager, "SVC", kInfoToolServiceAccess, service), 0u);
    EXPECT_EQ(os.startService(service), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(kStartToolServiceAccess, 0x14u);
    EXPECT_EQ(kStopToolServiceAccess, 0x124u);
    EXPECT_EQ(kUninstallToolServiceAccess, 0x10004u);
    EXPECT_EQ(kInfoToolServiceAccess, 0x4u);
}

}  // namespace
}  // namespace vornel::testing
