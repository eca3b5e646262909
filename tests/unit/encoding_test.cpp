#include <random>

#include "common/encoding.h"
#include "common/registry.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

const std::string kFull = "OrvikTamberVornel6100AgentService - node1";
const std::string kParams = "SYSTEM\\CurrentControlSet\\Services\\OrvikTamberVornel6100AgentService - node1\\Parameters\\";
const std::string kFlagPath = "SYSTEM\\CurrentControlSet\\Services\\OrvikTamberVornel6100AgentService - node1\\Parameters";

using EncodingTest = MemoryTest;

struct FlagRow {
    const char* name;
    std::optional<std::string> flag;
    int expected;
};

class EncodedFlagTest : public EncodingTest, public ::testing::WithParamInterface<FlagRow> {};

TEST_P(EncodedFlagTest, ArgumentsCountAsEncodedUnlessTheFlagIsAbsentOrExactlyOff) {
    const FlagRow& row = GetParam();
    if (row.flag) os.setString(kFlagPath, "Encoded", *row.flag);
    EXPECT_EQ(paramsEncoded(os, kFull), row.expected);
    EXPECT_EQ(argumentsEncoded(row.flag), row.expected == 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, EncodedFlagTest,
                         ::testing::Values(FlagRow{"Absent", std::nullopt, 0}, FlagRow{"Off", "off", 0},
                                           FlagRow{"On", "on", 1}, FlagRow{"OnInCapitals", "ON", 1},
                                           FlagRow{"OffCapitalised", "Off", 1}, FlagRow{"Yes", "yes", 1},
                                           FlagRow{"Empty", "", 1}),
                         rowName<FlagRow>);

TEST_F(EncodingTest, TheFlagIsStoredAsOnOrOff) {
    setEncoded(os, kFull, true);
    EXPECT_EQ(os.stringValue(kFlagPath, "Encoded"), std::string("on"));
    setEncoded(os, kFull, false);
    EXPECT_EQ(os.stringValue(kFlagPath, "Encoded"), std::string("off"));
}

TEST_F(EncodingTest, AFlagKeyPathOver511CharactersIsRefusedWithAMessage) {
    const std::string longest(466, 'n');
    EXPECT_TRUE(encodedFlagKeyPath(longest).has_value());
    EXPECT_FALSE(encodedFlagKeyPath(longest + "n").has_value());

    os.setString(encodedFlagKeyPath(longest).value(), "Encoded", "on");
    EXPECT_EQ(paramsEncoded(os, longest), 1);
    EXPECT_EQ(paramsEncoded(os, longest + "n"), 0);
    setEncoded(os, longest + "n", true);
    EXPECT_EQ(out(), "paramsEncoded: service name too long.\n\nsetEncoded: service name too long.\n\n");
}

TEST(Xor, TheKeyIsUsedInTurnFromItsFirstCharacter) {
    EXPECT_EQ(xorWithKey(std::string("ab"), std::string("abcab")), std::string("\0\0\x02\x03\x03", 5));
    EXPECT_EQ(xorWithKey(std::string("abcdef"), std::string("a")), std::string("\0", 1));
    EXPECT_EQ(xorWithKey(std::string(""), std::string("x")), std::nullopt);
    EXPECT_EQ(xorWithKey(std::nullopt, std::string("x")), std::nullopt);
    EXPECT_EQ(xorWithKey(std::string("k"), std::nullopt), std::nullopt);
    EXPECT_EQ(xorWithKey(std::string("k"), std::string()), std::string());
}

TEST(Hex, EncodingUsesUpperCaseDigitsTwoPerByte) {
    EXPECT_EQ(encodeHex(std::string("\x00\x0f\xa5\xff", 4)), std::string("000FA5FF"));
    EXPECT_EQ(encodeHex(std::string()), std::string());
    EXPECT_EQ(encodeHex(std::nullopt), std::nullopt);
}

TEST_F(EncodingTest, DecodingReportsBadInput) {
    EXPECT_EQ(decodeHex(std::string()), std::string());
    EXPECT_EQ(decodeHex(std::nullopt), std::nullopt);
    EXPECT_EQ(decodeHex(std::string("000FA5FF")), std::string("\x00\x0f\xa5\xff", 4));
    EXPECT_EQ(out(), "");
    EXPECT_EQ(decodeHex(std::string("4g")), std::string("\x40"));
    EXPECT_EQ(decodeHex(std::string("abc")), std::nullopt);
    EXPECT_EQ(decodeHex(std::string("0a")), std::string("\x00", 1));
    EXPECT_EQ(out(), "Invalid hex char: g\nInvalid hex string: odd length.\nInvalid hex char: a\n");
}

TEST(Hex, EncodedArgumentsComeBackUnchanged) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string plain(random() % 300, '\0');
        for (char& c : plain) c = static_cast<char>(1 + random() % 255);
        std::string key = round % 2 ? kFull : "OrvikTamberVornel6100AgentService - x";
        std::optional<std::string> hex = encodeHex(xorWithKey(key, plain));
        ASSERT_TRUE(hex.has_value());
        EXPECT_EQ(hex->size(), 2 * plain.size());
        EXPECT_EQ(hex->find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(decodeArguments(*hex, key), plain);
    }
}

TEST_F(EncodingTest, ArgumentsAreStoredEncodedExactlyWhenTheFlagSaysSo) {
    // 'a' ^ 'O' = 0x2E, 'b' ^ 'r' = 0x10.
    setEncoded(os, kFull, true);
    EXPECT_EQ(setArgumentsValue(os, kFull, kParams, "StartupArguments", "ab"), 1);
    EXPECT_EQ(os.stringValue(kParams, "StartupArguments"), std::string("2E10"));
    setEncoded(os, kFull, false);
    EXPECT_EQ(setArgumentsValue(os, kFull, kParams, "StopArguments", "ab"), 1);
    EXPECT_EQ(os.stringValue(kParams, "StopArguments"), std::string("ab"));
}

TEST_F(EncodingTest, ALongArgumentTextIsStoredAndDecodedWhole) {
    std::string plain(1500, 'z');
    setEncoded(os, kFull, true);
    ASSERT_EQ(setEncodedValue(os, kFull, kParams, "StartupArguments", plain), 1);
    std::optional<std::string> stored = getRegistryValue(os, kParams, "StartupArguments");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size(), 3000u);
    EXPECT_EQ(decodeArguments(*stored, kFull), plain);
}

TEST_F(EncodingTest, AFailedWriteIsReported) {
    os.failNext(MemoryPlatform::Op::RegSetValue, win::kErrorAccessDenied);
    EXPECT_EQ(setEncodedValue(os, kFull, kParams, "StartupArguments", "x"), 0);
    EXPECT_EQ(setEncodedValue(os, "", kParams, "StartupArguments", "x"), 0);
    EXPECT_FALSE(os.value(kParams, "StartupArguments").has_value());
}

TEST_F(EncodingTest, ArgumentsThatDoNotDecodeGiveNothing) {
    EXPECT_EQ(decodeArguments("ABC", kFull), std::nullopt);
    EXPECT_EQ(decodeArguments("2E10", ""), std::nullopt);
    EXPECT_EQ(decodeArguments("", kFull), std::string());
}

}  // namespace
}  // namespace vornel::testing
