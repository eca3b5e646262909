#include "common/registry.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

const std::string kParams = "SYSTEM\\CurrentControlSet\\Services\\OrvikTamberVornel6100AgentService - node1\\Parameters\\";
using Op = MemoryPlatform::Op;

class RegistryTest : public MemoryTest {
protected:
    RegistryTest() { enableTrace(); }
};

TEST(RegistryPaths, KeysOfTheSettingsLayout) {
    const std::string full = "OrvikTamberVornel6100AgentService - node1";
    EXPECT_EQ(serviceKeyPath(full), "SYSTEM\\CurrentControlSet\\Services\\" + full);
    EXPECT_EQ(parametersKeyPath(full), "SYSTEM\\CurrentControlSet\\Services\\" + full + "\\Parameters\\");
    EXPECT_EQ(eventLogSourceKeyPath(full), "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + full);
}

TEST_F(RegistryTest, AValueOfAMissingServiceIsAbsentAndNoKeyStaysOpen) {
    EXPECT_EQ(getRegistryValue(os, kParams, "AgentHome"), std::nullopt);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "CommonVornelAgentService - getRegistryValue - regKey = " + kParams,
                           "CommonVornelAgentService - getRegistryValue - attr = AgentHome",
                           "CommonVornelAgentService - getRegistryValue - failure to open key",
                       }));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(RegistryTest, AMissingValueIsAbsentAndTheKeyIsClosed) {
    os.setString(kParams, "AgentName", "agent");
    EXPECT_EQ(getRegistryValue(os, kParams, "AgentHome"), std::nullopt);
    EXPECT_EQ(trace().back(), "CommonVornelAgentService - getRegistryValue - failure to get value");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(RegistryTest, AStringReadsWholeWhateverItsLength) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{2047}, size_t{2048}, size_t{5000}}) {
        std::string text(length, 'x');
        os.setString(kParams, "StartupArguments", text);
        EXPECT_EQ(getRegistryValue(os, kParams, "StartupArguments"), text) << length;
    }
    EXPECT_EQ(trace()[2], "CommonVornelAgentService - getRegistryValue - value = ");
}

TEST_F(RegistryTest, OtherTypesReadAsTheirBytesUpToTheFirstZero) {
    os.setDword(kParams, "Number", 7);
    EXPECT_EQ(getRegistryValue(os, kParams, "Number"), std::string("\x07"));
    os.setValue(kParams, "Binary", MemoryPlatform::RegValue{3, std::string("ab\0cd", 5)});
    EXPECT_EQ(getRegistryValue(os, kParams, "Binary"), std::string("ab"));
    os.setValue(kParams, "Unterminated", MemoryPlatform::RegValue{1, std::string(2048, 'y')});
    EXPECT_EQ(getRegistryValue(os, kParams, "Unterminated"), std::string(2048, 'y'));
}

TEST_F(RegistryTest, AClosingSeparatorNamesTheSameKey) {
    os.setString(kParams.substr(0, kParams.size() - 1), "AgentName", "agent");
    EXPECT_EQ(getRegistryValue(os, kParams, "agentname"), std::string("agent"));
}

TEST_F(RegistryTest, SettingCreatesTheKeyAndReplacesTheValue) {
    const std::string params = "SYSTEM\\CurrentControlSet\\Services\\svc\\Parameters\\";
    os.createKey("SYSTEM\\CurrentControlSet\\Services\\svc");
    EXPECT_EQ(setRegistryValue(os, params, "DebugTrace", "on"), 1);
    EXPECT_EQ(setRegistryValue(os, params, "DebugTrace", "off"), 1);
    EXPECT_EQ(os.stringValue(params, "DebugTrace"), std::string("off"));
    EXPECT_EQ(os.value(params, "DebugTrace")->type, 1u);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "CommonVornelAgentService - setRegistryValue - regKey = " + params,
                           "CommonVornelAgentService - setRegistryValue - attr = DebugTrace",
                           "CommonVornelAgentService - setRegistryValue - value = on",
                           "InstallVornelAgentService - setRegistryValue - exit - returning true",
                           "CommonVornelAgentService - setRegistryValue - regKey = " + params,
                           "CommonVornelAgentService - setRegistryValue - attr = DebugTrace",
                           "CommonVornelAgentService - setRegistryValue - value = off",
                           "InstallVornelAgentService - setRegistryValue - exit - returning true",
                       }));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(RegistryTest, AnEmptyTextIsStoredAsTheTerminatorAloneAndReadsAsPresent) {
    EXPECT_EQ(setRegistryValue(os, kParams, "StopArguments", ""), 1);
    EXPECT_EQ(os.value(kParams, "StopArguments")->data, std::string(1, '\0'));
    EXPECT_EQ(getRegistryValue(os, kParams, "StopArguments"), std::string());
}

TEST_F(RegistryTest, FailuresShowOnlyInTheTraceAndTheResult) {
    struct Case {
        Op op;
        const char* lastLine;
    } cases[] = {
        {Op::RegCreateKeyEx, "InstallVornelAgentService - setRegistryValue - returning false - create failed"},
        {Op::RegSetValue, "InstallVornelAgentService - setRegistryValue - returning false - set failed"},
    };
    for (const Case& c : cases) {
        os.failNext(c.op, win::kErrorAccessDenied);
        EXPECT_EQ(setRegistryValue(os, kParams, "AgentHome", "C:\\agent\\"), 0);
        EXPECT_EQ(trace().back(), c.lastLine);
        EXPECT_EQ(errWithoutTrace(), "");
        EXPECT_EQ(out(), "");
        EXPECT_FALSE(os.value(kParams, "AgentHome").has_value());
        EXPECT_EQ(os.openHandleCount(), 0u);
    }
}

TEST_F(RegistryTest, AReadOnlyKeyOpenedForReadingCannotBeWritten) {
    os.setString(kParams, "AgentHome", "C:\\agent\\");
    RegKey key;
    ASSERT_EQ(os.regOpenKeyEx(kParams, win::kKeyRead, key), 0u);
    EXPECT_EQ(os.regSetStringValue(key, "AgentHome", "x"), win::kErrorAccessDenied);
}

}  // namespace
}  // namespace vornel::testing
