// The settings protocol on bytes: command frames, the status decode, the amplitude list, the version text and
// the frequency text.
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"
#include "protocol/VersionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <cstdint>
#include <vector>

namespace tarvo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Padded(Bytes head, std::size_t length) {
    head.resize(length, 0);
    return head;
}

TEST(CommandFrame, MatchesTheWorkedExamplesWithZerosToTheEnd) {
    EXPECT_EQ(EncodeFrequencyCommand(10000000, 9), Padded({0x00, 0x01, 0x00, 0x80, 0x96, 0x98, 0x00}, 9));
    EXPECT_EQ(EncodeFrequencyCommand(25000, 64), Padded({0x00, 0x01, 0x00, 0xA8, 0x61, 0x00, 0x00}, 64));
    EXPECT_EQ(EncodeFrequencyCommand(350000000, 9), Padded({0x00, 0x01, 0x00, 0x80, 0x93, 0xDC, 0x14}, 9));
    EXPECT_EQ(EncodeAmplitudeCommand(360, 9), Padded({0x00, 0x02, 0x00, 0x68, 0x01}, 9));
    EXPECT_EQ(EncodeAmplitudeCommand(510, 64), Padded({0x00, 0x02, 0x00, 0xFE, 0x01}, 64));
    EXPECT_EQ(EncodeAmplitudeCommand(0, 5), Padded({0x00, 0x02}, 5));
}

TEST(CommandFrame, IsExactlyTheFeatureLengthAndDroppedWhenTooShort) {
    // Seven bytes hold the frequency command exactly; six cannot.
    EXPECT_EQ(EncodeFrequencyCommand(10000000, 7), (Bytes{0x00, 0x01, 0x00, 0x80, 0x96, 0x98, 0x00}));
    EXPECT_TRUE(EncodeFrequencyCommand(10000000, 6).empty());
    EXPECT_TRUE(EncodeFrequencyCommand(10000000, 5).empty());
    EXPECT_TRUE(EncodeFrequencyCommand(10000000, 0).empty());
    EXPECT_EQ(EncodeAmplitudeCommand(360, 5), (Bytes{0x00, 0x02, 0x00, 0x68, 0x01}));
    EXPECT_TRUE(EncodeAmplitudeCommand(360, 4).empty());
    for (std::size_t length : {7u, 9u, 64u, 65u}) EXPECT_EQ(EncodeFrequencyCommand(1, length).size(), length);
}

Bytes Status(std::uint32_t frequency, std::uint16_t amplitude, std::size_t length = 9) {
    Bytes reply(length, 0);
    for (int i = 0; i < 4; ++i) reply[3 + i] = static_cast<std::uint8_t>(frequency >> (8 * i));
    reply[7] = static_cast<std::uint8_t>(amplitude);
    reply[8] = static_cast<std::uint8_t>(amplitude >> 8);
    return reply;
}

int DecodedFrequency(std::uint32_t raw) { return DecodeStatus(Status(raw, 0).data(), 9)->frequencyHz; }
int DecodedAmplitude(std::uint16_t raw) { return DecodeStatus(Status(25000, raw).data(), 9)->amplitudeIndex; }

TEST(StatusDecode, ReplacesFrequenciesOutsideTheRangeByTheDefault) {
    EXPECT_EQ(DecodedFrequency(25000), 25000);
    EXPECT_EQ(DecodedFrequency(24999), 10000000);
    EXPECT_EQ(DecodedFrequency(350000000), 350000000);
    EXPECT_EQ(DecodedFrequency(350000001), 10000000);
    EXPECT_EQ(DecodedFrequency(0xFFFFFFFF), 10000000);  // negative as int32
    EXPECT_EQ(DecodedFrequency(0x80000000), 10000000);
    EXPECT_EQ(DecodedFrequency(0), 10000000);
    EXPECT_EQ(DecodedFrequency(12345679), 12345679);
}

TEST(StatusDecode, ReplacesAmplitudeIndicesAboveTheListByTheFallback) {
    EXPECT_EQ(DecodedAmplitude(0), 0);
    EXPECT_EQ(DecodedAmplitude(510), 510);
    EXPECT_EQ(DecodedAmplitude(511), 339);
    EXPECT_EQ(DecodedAmplitude(0xFFFF), 339);  // read unsigned, not as -1
    EXPECT_EQ(DecodedAmplitude(0x8000), 339);
}

TEST(StatusDecode, KeepsTheReportedValuesBesideTheReplacements) {
    const auto kept = DecodeStatus(Status(12345679, 510).data(), 9);
    EXPECT_EQ(kept->reportedFrequencyHz, 12345679);
    EXPECT_EQ(kept->reportedAmplitudeIndex, 510);
    EXPECT_FALSE(kept->FrequencyReplaced());
    EXPECT_FALSE(kept->AmplitudeReplaced());
    const auto replaced = DecodeStatus(Status(0xFFFFFFFF, 0xFFFF).data(), 9);
    EXPECT_EQ(replaced->frequencyHz, 10000000);
    EXPECT_EQ(replaced->reportedFrequencyHz, -1);
    EXPECT_EQ(replaced->amplitudeIndex, 339);
    EXPECT_EQ(replaced->reportedAmplitudeIndex, 65535);
    EXPECT_TRUE(replaced->FrequencyReplaced());
    EXPECT_TRUE(replaced->AmplitudeReplaced());
}

TEST(StatusDecode, NeedsNineBytesAndReadsNothingBeyondThem) {
    const Bytes nine = Status(123456, 42);
    EXPECT_FALSE(DecodeStatus(nine.data(), 8).has_value());
    EXPECT_FALSE(DecodeStatus(nine.data(), 0).has_value());
    EXPECT_FALSE(DecodeStatus(nullptr, 9).has_value());
    // A reply of exactly nine bytes in a buffer of nine: nothing past byte 8 is touched (ASan checks the bound).
    auto exact = std::make_unique<std::uint8_t[]>(9);
    std::copy(nine.begin(), nine.end(), exact.get());
    const auto status = DecodeStatus(exact.get(), 9);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->frequencyHz, 123456);
    EXPECT_EQ(status->amplitudeIndex, 42);
    // Bytes 1, 2 and 9 on are not examined.
    Bytes noisy = Status(123456, 42, 64);
    noisy[0] = noisy[1] = noisy[2] = 0xFF;
    std::fill(noisy.begin() + 9, noisy.end(), 0xAA);
    EXPECT_EQ(DecodeStatus(noisy.data(), noisy.size())->frequencyHz, 123456);
}

TEST(AmplitudeList, HoldsTheTellingRows) {
    const auto& texts = AmplitudeTexts();
    const std::pair<int, const char*> rows[] = {{0, "49"},    {1, "52"},    {2, "56"},    {23, "120"},  {24, "123"},
                                                {25, "127"},  {104, "371"}, {184, "618"}, {264, "865"}, {339, "1096"},
                                                {344, "1112"}, {360, "1161"}, {424, "1359"}, {504, "1606"},
                                                {509, "1621"}, {510, "1624"}};
    for (const auto& [index, text] : rows) EXPECT_EQ(texts[index], text) << "index " << index;
}

TEST(AmplitudeList, AgreesWithExactArithmeticExceptWhereDoubleRoundingDecidesAHalf) {
    // Exact value: (i + 16) * 3.0875 mV = (i + 16) * 30875 / 10000. Where it is not a half, rounding it must give
    // the entry; where it is one, double precision may land on either side of it, and it does at index 24.
    const auto& texts = AmplitudeTexts();
    int previous = 0;
    for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) {
        const long long scaled = (i + 16) * 30875LL;
        const long long rounded = (scaled + 5000) / 10000;
        const int entry = std::stoi(texts[i]);
        if (scaled % 10000 == 5000) {
            EXPECT_TRUE(entry == rounded || entry == rounded - 1) << "index " << i;
        } else {
            EXPECT_EQ(entry, rounded) << "index " << i;
        }
        EXPECT_GT(entry, previous) << "index " << i;  // strictly rising
        previous = entry;
        EXPECT_EQ(texts[i], std::to_string(entry));   // plain digits
    }
    EXPECT_EQ(std::stoi(texts[24]), (40 * 30875 + 5000) / 10000 - 1);
}

TEST(AmplitudeList, NearestEntryTakesTheLowerOneExactlyHalfway) {
    EXPECT_EQ(NearestAmplitudeIndex(0), 0);
    EXPECT_EQ(NearestAmplitudeIndex(1e9), VOUT_ENTRY_COUNT - 1);
    for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) {
        const int mv = AmplitudeMillivolts(i);
        EXPECT_EQ(NearestAmplitudeIndex(mv), i);
        if (i + 1 == VOUT_ENTRY_COUNT) break;
        const double half = (mv + AmplitudeMillivolts(i + 1)) / 2.0;
        EXPECT_EQ(NearestAmplitudeIndex(half), i) << "index " << i;
        EXPECT_EQ(NearestAmplitudeIndex(std::nextafter(half, 1e9)), i + 1) << "index " << i;
    }
}

TEST(VersionText, IsDecimalMajorAndTwoUpperCaseHexMinorDigits) {
    EXPECT_EQ(VersionText(0x0000), "0.00");
    EXPECT_EQ(VersionText(0x0103), "1.03");
    EXPECT_EQ(VersionText(0x0109), "1.09");
    EXPECT_EQ(VersionText(0x010A), "1.0A");
    EXPECT_EQ(VersionText(0x0110), "1.10");
    EXPECT_EQ(VersionText(0x01FF), "1.FF");
    EXPECT_EQ(VersionText(0x1234), "18.34");
    EXPECT_EQ(VersionText(0x8000), "128.00");
    EXPECT_EQ(VersionText(0xFFFF), "255.FF");
}

TEST(FrequencyText, AcceptsBlanksSignsFractionsAndExponents) {
    const std::pair<const char*, double> numeric[] = {
        {"25000", 25000},       {" 25000 ", 25000},   {"\t1e7", 1e7},         {"2.5E4", 25000},
        {"+350000000", 3.5e8},  {"-5", -5},           {"12345678.5", 12345678.5}, {"1000000.49", 1000000.49},
        {"1e+7", 1e7},          {"5e-1", 0.5},        {".5", 0.5},            {"5.", 5},
        {"0", 0},               {"-0", -0.0},         {"00025000", 25000},
    };
    for (const auto& [text, value] : numeric) {
        const auto parsed = ParseFrequencyText(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_DOUBLE_EQ(*parsed, value) << text;
    }
}

TEST(FrequencyText, RefusesWhatIsNotADecimalNumber) {
    for (const char* text : {"", " ", "abc", "10 MHz", "1,5", "25,000", "0x61A8", "inf", "nan", "Infinity", "1e",
                             "e7", "+", "-", ".", "1.2.3", "--5", "+-5", "1e7.5", "1 000", "$5", "5%", "1e 7",
                             "\xD9\xA5"}) {
        EXPECT_FALSE(ParseFrequencyText(text)) << '"' << text << '"';
    }
}

TEST(FrequencyText, OutOfDoubleRangeStillDecidesTheRangeCheck) {
    EXPECT_EQ(*ParseFrequencyText("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(*ParseFrequencyText("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(*ParseFrequencyText("1e-400"), 0.0);
    EXPECT_EQ(*ParseFrequencyText("0.000001e-400"), 0.0);
    EXPECT_EQ(*ParseFrequencyText("1" + std::string(400, '0')), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(ParseFrequencyText(std::string(5000, '9')));  // very long texts are fine
}

TEST(FrequencyText, MeansTheSameUnderEveryLocale) {
    for (const char* name : {"de_DE.UTF-8", "ru_RU.UTF-8", "fr_FR.UTF-8"}) {
        if (!std::setlocale(LC_ALL, name)) continue;
        EXPECT_DOUBLE_EQ(*ParseFrequencyText("12345678.5"), 12345678.5) << name;
        EXPECT_DOUBLE_EQ(*ParseFrequencyText("1e7"), 1e7) << name;
        EXPECT_FALSE(ParseFrequencyText("1,5")) << name;
    }
    std::setlocale(LC_ALL, "C");
}

TEST(FrequencyText, RoundsHalvesUpToWholeHertz) {
    EXPECT_EQ(RoundHalfUp(1000000.5), 1000001);
    EXPECT_EQ(RoundHalfUp(1000000.49), 1000000);
    EXPECT_EQ(RoundHalfUp(12345678.5), 12345679);
    EXPECT_EQ(RoundHalfUp(25000.4), 25000);
    EXPECT_EQ(RoundHalfUp(349999999.5), 350000000);
    EXPECT_EQ(HertzText(10000000), "10000000");
}

// The button's decision, one text at a time: the message and what the box holds afterwards.
TEST(FrequencyCheck, RefusesWithTheWindowsMessagesAndTheBoundOnTheValuesSide) {
    for (const char* text : {"", "abc", "10 MHz", "1,5", "0x61A8"}) {
        const FrequencyCheck c = CheckFrequencyText(text);
        EXPECT_EQ(c.verdict, FrequencyVerdict::NotNumeric) << text;
        EXPECT_EQ(c.title, "Bad input");
        EXPECT_EQ(c.prompt, "Enter pulse frequency in Hz");
    }
    const std::pair<const char*, std::int32_t> outside[] = {
        {"24999.5", 25000}, {"-5", 25000},       {"0", 25000},         {"-1e400", 25000},
        {"350000000.4", 350000000}, {"1e9", 350000000}, {"1e400", 350000000}, {"24999.9999999", 25000},
    };
    for (const auto& [text, bound] : outside) {
        const FrequencyCheck c = CheckFrequencyText(text);
        EXPECT_EQ(c.verdict, FrequencyVerdict::OutOfRange) << text;
        EXPECT_EQ(c.hertz, bound) << text;
        EXPECT_EQ(c.title, "Bad data range");
        EXPECT_EQ(c.prompt, "Pulse frequency is between 25kHz and 350MHz");
    }
}

TEST(FrequencyCheck, AcceptsTheRangeInclusiveAndRoundsHalvesUp) {
    const std::pair<const char*, std::int32_t> accepted[] = {
        {"25000", 25000},          {"350000000", 350000000}, {"12345678.5", 12345679}, {"1e7", 10000000},
        {" 2.5E4 ", 25000},        {"1000000.49", 1000000},  {"349999999.5", 350000000}, {"25000.4", 25000},
    };
    for (const auto& [text, hertz] : accepted) {
        const FrequencyCheck c = CheckFrequencyText(text);
        EXPECT_EQ(c.verdict, FrequencyVerdict::Accepted) << text;
        EXPECT_EQ(c.hertz, hertz) << text;
        EXPECT_TRUE(c.title.empty() && c.prompt.empty()) << text;
    }
}

}  // namespace
}  // namespace tarvo
