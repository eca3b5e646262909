#include <climits>

#include "common/trace.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

using TraceTest = MemoryTest;

struct TimeRow {
    const char* name;
    int wday, mon, mday, hour, min, sec, year;
    const char* expected;
};

class TraceTimeTest : public ::testing::TestWithParam<TimeRow> {};

TEST_P(TraceTimeTest, DayOfMonthIsPaddedWithABlank) {
    const TimeRow& row = GetParam();
    std::tm t{};
    t.tm_wday = row.wday;
    t.tm_mon = row.mon;
    t.tm_mday = row.mday;
    t.tm_hour = row.hour;
    t.tm_min = row.min;
    t.tm_sec = row.sec;
    t.tm_year = row.year - 1900;
    EXPECT_EQ(formatTraceTime(t), row.expected);
    EXPECT_EQ(formatTraceTime(t).size(), 24u);
}

INSTANTIATE_TEST_SUITE_P(Rows, TraceTimeTest,
                         ::testing::Values(TimeRow{"OneDigitDay", 2, 11, 8, 1, 2, 3, 2026, "Tue Dec  8 01:02:03 2026"},
                                           TimeRow{"TwoDigitDay", 5, 11, 18, 23, 59, 59, 2026,
                                                   "Fri Dec 18 23:59:59 2026"},
                                           TimeRow{"NewYear", 0, 0, 1, 0, 0, 0, 2023, "Sun Jan  1 00:00:00 2023"}),
                         rowName<TimeRow>);

TEST_F(TraceTest, NothingIsWrittenWhileTheSwitchIsOff) {
    traceMessage("CommonVornelAgentService - getRegistryValue - attr = %s", "AgentHome");
    char* args[] = {const_cast<char*>("a")};
    traceParameters("label", 1, args);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(out(), "");
}

TEST_F(TraceTest, ALineIsTimeSeparatorMessageAndOneLineFeed) {
    enableTrace();
    traceMessage("CommonVornelAgentService - getRegistryValue - attr = %s", "AgentHome");
    std::string text = err();
    ASSERT_EQ(text.size(), 24 + 3 + std::string("CommonVornelAgentService - getRegistryValue - attr = AgentHome").size() + 1);
    EXPECT_TRUE(hasTraceTime(text));
    EXPECT_EQ(text.substr(24), " - CommonVornelAgentService - getRegistryValue - attr = AgentHome\n");
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    disableTrace();
    traceMessage("more");
    EXPECT_EQ(err(), text);
}

TEST_F(TraceTest, SystemErrorShowsThePlatformTextWhateverTheSwitch) {
    printSystemError(os, "Failed to start service", win::kErrorServiceAlreadyRunning);
    std::string text = systemText(win::kErrorServiceAlreadyRunning);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(err(), "Failed to start service: " + text + "\n");
}

TEST_F(TraceTest, SystemErrorWithoutTextShowsTheCodeInSignedDecimal) {
    printSystemError(os, "\treason", 123456);
    printSystemError(os, "x", 0xFFFFFFFF);
    EXPECT_EQ(err(), "\treason: 123456\nx: -1\n");
}

TEST_F(TraceTest, SystemErrorFallsBackToTheCodeWhenTheTextCannotBeFetched) {
    os.failNext(MemoryPlatform::Op::SystemErrorText, 8);
    printSystemError(os, "Could not stop service", win::kErrorServiceNotActive);
    EXPECT_EQ(err(), "Could not stop service: 1062\n");
}

struct IsOnRow {
    const char* name;
    std::optional<std::string> text;
    int expected;
};

class IsOnTest : public ::testing::TestWithParam<IsOnRow> {};

TEST_P(IsOnTest, OnlyTheExactLowerCaseWordIsOn) { EXPECT_EQ(isOn(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Rows, IsOnTest,
                         ::testing::Values(IsOnRow{"Absent", std::nullopt, 0}, IsOnRow{"On", "on", 1},
                                           IsOnRow{"InCapitals", "ON", 0}, IsOnRow{"Capitalised", "On", 0},
                                           IsOnRow{"ABlankBefore", " on", 0}, IsOnRow{"ABlankAfter", "on ", 0},
                                           IsOnRow{"Empty", "", 0}, IsOnRow{"Off", "off", 0},
                                           IsOnRow{"Longer", "onn", 0}),
                         rowName<IsOnRow>);

TEST_F(TraceTest, RedirectionSendsBothStreamsToTheirFilesAppending) {
    os.writeFile("C:\\logs\\host.stderr", "old error\n");
    enableTrace();
    redirectTraceOutput(os, std::string("C:\\logs\\host.stdout"), std::string("C:\\logs\\host.stderr"));
    traceMessage("traced");
    writeOut("console %d", 1);
    printSystemError(os, "label", 123456);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), "");
    std::string errFile = os.fileContent("C:\\logs\\host.stderr").value_or("");
    EXPECT_EQ(errFile.substr(0, 10), "old error\n");
    EXPECT_EQ(traceMessages(errFile), std::vector<std::string>{"traced"});
    EXPECT_EQ(withoutTrace(errFile), "old error\nlabel: 123456\n");
    EXPECT_EQ(os.fileContent("C:\\logs\\host.stdout"), "console 1");
}

TEST_F(TraceTest, RedirectionActsOnlyOnceWithTheTraceOnAndBothPaths) {
    const std::optional<std::string> outPath = std::string("C:\\o"), errPath = std::string("C:\\e");
    redirectTraceOutput(os, outPath, errPath);  // trace off
    enableTrace();
    redirectTraceOutput(os, std::nullopt, errPath);
    redirectTraceOutput(os, outPath, std::nullopt);
    EXPECT_FALSE(os.fileContent("C:\\o").has_value());
    EXPECT_FALSE(os.fileContent("C:\\e").has_value());
    writeOut("still here");
    EXPECT_EQ(out(), "still here");

    redirectTraceOutput(os, outPath, errPath);
    redirectTraceOutput(os, std::string("C:\\o2"), std::string("C:\\e2"));
    writeOut("moved");
    EXPECT_EQ(os.fileContent("C:\\o"), "moved");
    EXPECT_FALSE(os.fileContent("C:\\o2").has_value());
}

TEST_F(TraceTest, AStreamThatCannotBeReopenedLosesItsOutput) {
    enableTrace();
    os.failNext(MemoryPlatform::Op::OpenAppendStream, win::kErrorAccessDenied);
    redirectTraceOutput(os, std::string("C:\\o"), std::string("C:\\e"));
    traceMessage("lost");
    printSystemError(os, "lost too", 1);
    writeOut("kept");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(os.fileContent("C:\\o"), "kept");
}

TEST_F(TraceTest, ParametersAreTracedWithTheirIndexes) {
    enableTrace();
    char* args[] = {const_cast<char*>("VornelAgentServiceInfo.exe"), nullptr, const_cast<char*>("-debug")};
    traceParameters("VornelAgentServiceInfo.main", 3, args);
    traceParameters(nullptr, 0, args);
    traceParameters("label", 2, nullptr);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "VornelAgentServiceInfo.main - 3 parameters were passed",
                           "VornelAgentServiceInfo.main - parameter(0) = VornelAgentServiceInfo.exe",
                           "VornelAgentServiceInfo.main - parameter(1) = <null>",
                           "VornelAgentServiceInfo.main - parameter(2) = -debug",
                           "<null> - no parameters were passed",
                           "label - no parameters were passed",
                       }));
}

}  // namespace
}  // namespace vornel::testing
