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

class RegistryLengthTest : public RegistryTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(RegistryLengthTest, AStringReadsWholeWhateverItsLength) {
    std::string text(GetParam(), 'x');
    os.setString(kParams, "StartupArguments", text);
    EXPECT_EQ(getRegistryValue(os, kParams, "StartupArguments"), text);
    EXPECT_EQ(trace()[2], "CommonVornelAgentService - getRegistryValue - value = " + text);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RegistryLengthTest, ::testing::Values(0, 1, 2047, 2048, 5000),
                         [](const ::testing::TestParamInfo<size_t>& length) {
                             return std::to_string(length.param) + "Characters";
                         });

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

struct WriteFailureRow {
    const char* name;
    Op op;
    const char* lastLine;
};

class RegistryWriteFailureTest : public RegistryTest, public ::testing::WithParamInterface<WriteFailureRow> {};

TEST_P(RegistryWriteFailureTest, ShowsOnlyInTheTraceAndTheResult) {
    const WriteFailureRow& row = GetParam();
    os.failNext(row.op, win::kErrorAccessDenied);
    EXPECT_EQ(setRegistryValue(os, kParams, "AgentHome", "C:\\agent\\"), 0);
    EXPECT_EQ(trace().back(), row.lastLine);
    EXPECT_EQ(errWithoutTrace(), "");
    EXPECT_EQ(out(), "");
    EXPECT_FALSE(os.value(kParams, "AgentHome").has_value());
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RegistryWriteFailureTest,
    ::testing::Values(
        WriteFailureRow{"TheKeyCannotBeCreated", Op::RegCreateKeyEx,
                        "InstallVornelAgentService - setRegistryValue - returning false - create failed"},
        WriteFailureRow{"TheValueCannotBeSet", Op::RegSetValue,
                        "InstallVornelAgentService - setRegistryValue - returning false - set failed"}),
    rowName<WriteFailureRow>);

TEST_F(RegistryTest, AReadOnlyKeyOpenedForReadingCannotBeWritten) {
    os.setString(kParams, "AgentHome", "C:\\agent\\");
    RegKey key;
    ASSERT_EQ(os.regOpenKeyEx(kParams, win::kKeyRead, key), 0u);
    EXPECT_EQ(os.regSetStringValue(key, "AgentHome", "x"), win::kErrorAccessDenied);
}

}  // namespace
}  // namespace vornel::testing
