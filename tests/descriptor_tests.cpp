// Report lengths from HID report descriptors: the lengths Windows gave for real devices, the items that decide
// them, and descriptors that are cut short or built to overflow.
#include "device/HidReportDescriptor.h"
#include "windows_caps.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using Bytes = std::vector<std::uint8_t>;

ReportLengths Parse(const Bytes& d) { return ParseReportLengths(d.data(), d.size()); }

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct WindowsCaps {
    std::string name;
    std::uint16_t usage = 0, usagePage = 0;
    int input = 0, output = 0, feature = 0;
    Bytes descriptor;
};

std::vector<WindowsCaps> LoadWindowsCaps() {
    std::vector<WindowsCaps> rows;
    std::istringstream in(testdata::WINDOWS_CAPS_TSV);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        WindowsCaps row;
        std::string hex;
        fields >> row.name >> row.input >> row.output >> row.feature >> hex;
        // The name is VID_PID_USAGE_USAGEPAGE in hexadecimal.
        row.usage = static_cast<std::uint16_t>(std::stoul(row.name.substr(10, 4), nullptr, 16));
        row.usagePage = static_cast<std::uint16_t>(std::stoul(row.name.substr(15, 4), nullptr, 16));
        row.descriptor = FromHex(hex);
        rows.push_back(row);
    }
    return rows;
}

// The pulse generator's descriptor: vendor page, a 64-byte input report and an 8-byte feature report, unnumbered.
const Bytes GENERATOR = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                         0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x08, 0x09, 0x02, 0xB1, 0x02, 0xC0};

TEST(WindowsReportLengths, EveryRecordedCollectionGivesTheLengthsWindowsReported) {
    const auto rows = LoadWindowsCaps();
    ASSERT_EQ(rows.size(), 25u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ReportLengths r = Parse(row.descriptor);
        EXPECT_TRUE(r.wellFormed);
        EXPECT_EQ(r.input, row.input);
        EXPECT_EQ(r.output, row.output);
        EXPECT_EQ(r.feature, row.feature);
        EXPECT_EQ(r.usage, row.usage);
        EXPECT_EQ(r.usagePage, row.usagePage);
    }
}

TEST(WindowsReportLengths, EveryPrefixOfARecordedDescriptorStaysWithinTheWholeOnesLengths) {
    // Run under the sanitizers this also shows that no prefix is read past its end.
    for (const auto& row : LoadWindowsCaps()) {
        const ReportLengths whole = Parse(row.descriptor);
        for (std::size_t n = 0; n < row.descriptor.size(); ++n) {
            const Bytes prefix(row.descriptor.begin(), row.descriptor.begin() + static_cast<std::ptrdiff_t>(n));
            const ReportLengths r = Parse(prefix);
            ASSERT_LE(r.input, whole.input) << row.name << " cut at " << n;
            ASSERT_LE(r.output, whole.output) << row.name << " cut at " << n;
            ASSERT_LE(r.feature, whole.feature) << row.name << " cut at " << n;
        }
    }
}

TEST(ReportLengths, PulseGeneratorHasInput65AndFeature9WithoutReportIds) {
    const ReportLengths r = Parse(GENERATOR);
    EXPECT_EQ(r.input, 65);
    EXPECT_EQ(r.output, 0);
    EXPECT_EQ(r.feature, 9);
    EXPECT_FALSE(r.usesReportIds);
    EXPECT_EQ(r.usagePage, 0xFF00);
    EXPECT_EQ(r.usage, 0x01);
}

TEST(ReportLengths, NumberedReportsGiveTheLongestOfEachKindPlusTheIdByte) {
    // ID 1: input 3 bytes, feature 2; ID 2: input 5 bytes; output 1 byte under ID 2.
    const Bytes d = {0x75, 0x08, 0x85, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x02, 0xB1, 0x02,
                     0x85, 0x02, 0x95, 0x05, 0x81, 0x02, 0x95, 0x01, 0x91, 0x02};
    const ReportLengths r = Parse(d);
    EXPECT_TRUE(r.usesReportIds);
    EXPECT_EQ(r.input, 6);
    EXPECT_EQ(r.output, 2);
    EXPECT_EQ(r.feature, 3);
}

TEST(ReportLengths, ItemsOfOneReportAddUpAndPartialBytesRoundUp) {
    // 3 bits + 6 bits of input: 9 bits, two bytes of data.
    const Bytes d = {0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x06, 0x81, 0x03};
    EXPECT_EQ(Parse(d).input, 3);
}

TEST(ReportLengths, NoReportOfAKindGivesZeroAndAnEmptyDescriptorGivesNothing) {
    const ReportLengths empty = ParseReportLengths(nullptr, 0);
    EXPECT_TRUE(empty.wellFormed);
    EXPECT_EQ(empty.input + empty.output + empty.feature, 0);
    // Items of zero bits declare no data, so no report.
    const Bytes zeroCount = {0x75, 0x08, 0x95, 0x00, 0x81, 0x02, 0x75, 0x00, 0x95, 0x04, 0xB1, 0x02};
    const ReportLengths r = Parse(zeroCount);
    EXPECT_EQ(r.input, 0);
    EXPECT_EQ(r.feature, 0);
}

TEST(ReportLengths, PopRestoresReportSizeCountAndId) {
    // Size 8 count 2 ID 1; Push; size 16 count 4 ID 2, input (8 bytes under ID 2); Pop; input (2 bytes under ID 1).
    const Bytes d = {0x75, 0x08, 0x95, 0x02, 0x85, 0x01, 0xA4, 0x75, 0x10, 0x95, 0x04, 0x85, 0x02, 0x81, 0x02,
                     0xB4, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02};
    // After the Pop, five items of 2 bytes under ID 1: 10 bytes, the longest.
    EXPECT_EQ(Parse(d).input, 11);
    const Bytes withoutPop = {0x75, 0x08, 0x95, 0x02, 0xA4, 0x75, 0x10, 0x95, 0x04, 0xB4, 0x81, 0x02};
    EXPECT_EQ(Parse(withoutPop).input, 3);
}

TEST(ReportLengths, LongItemsAreSkippedWithTheirData) {
    // A long item whose 3 data bytes would read as a 4-byte-count feature item if they were parsed.
    const Bytes d = {0x75, 0x08, 0x95, 0x01, 0xFE, 0x03, 0xF0, 0xB1, 0x02, 0x95, 0x81, 0x02};
    const ReportLengths r = Parse(d);
    EXPECT_TRUE(r.wellFormed);
    EXPECT_EQ(r.input, 2);
    EXPECT_EQ(r.feature, 0);
}

TEST(ReportLengths, AFourByteUsageNamesItsOwnPage) {
    const Bytes d = {0x05, 0x01, 0x0B, 0x05, 0x00, 0x0C, 0x00, 0xA1, 0x01, 0xC0};
    const ReportLengths r = Parse(d);
    EXPECT_EQ(r.usagePage, 0x000C);
    EXPECT_EQ(r.usage, 0x0005);
}

TEST(MalformedDescriptors, ATruncatedItemStopsParsingWithTheLengthsBeforeIt) {
    // A complete 2-byte input, then a Report Count item missing its data byte.
    const ReportLengths r = Parse({0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x95});
    EXPECT_FALSE(r.wellFormed);
    EXPECT_EQ(r.input, 3);
    // A four-byte item with one data byte, and a long item whose data run past the end.
    EXPECT_FALSE(Parse({0x97, 0x01}).wellFormed);
    EXPECT_FALSE(Parse({0xFE, 0x05, 0x00, 0x01}).wellFormed);
    EXPECT_FALSE(Parse({0xFE, 0x01}).wellFormed);
}

TEST(MalformedDescriptors, PopWithoutPushStops) {
    const ReportLengths r = Parse({0x75, 0x08, 0x95, 0x01, 0xB4, 0x81, 0x02});
    EXPECT_FALSE(r.wellFormed);
    EXPECT_EQ(r.input, 0);
}

TEST(MalformedDescriptors, PushesBeyondTheDepthLimitStop) {
    Bytes d = {0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    d.insert(d.end(), 100000, 0xA4);
    d.insert(d.end(), {0x95, 0x10, 0x81, 0x02});
    const ReportLengths r = Parse(d);
    EXPECT_FALSE(r.wellFormed);
    EXPECT_EQ(r.input, 2);
    Bytes atLimit(MAX_PUSH_DEPTH, 0xA4);
    atLimit.insert(atLimit.end(), MAX_PUSH_DEPTH, 0xB4);
    EXPECT_TRUE(Parse(atLimit).wellFormed);
}

TEST(MalformedDescriptors, HugeCountsAreClampedTo16BitsWithoutWrapping) {
    // Size 0xFFFFFFFF × count 0xFFFFFFFF: far beyond any 16-bit length.
    const Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02};
    EXPECT_EQ(Parse(huge).input, 0xFFFF);
    // Many items that are each within range but sum past 16 bits.
    Bytes many = {0x75, 0x08, 0x96, 0x00, 0x10};  // 4096 bytes each
    for (int i = 0; i < 20; ++i) many.insert(many.end(), {0xB1, 0x02});
    EXPECT_EQ(Parse(many).feature, 0xFFFF);
    // A count whose product with the size is exactly 2^32 bits must not read as 0.
    const Bytes wrap32 = {0x75, 0x10, 0x97, 0x00, 0x00, 0x00, 0x10, 0x91, 0x02};
    EXPECT_EQ(Parse(wrap32).output, 0xFFFF);
}

TEST(MalformedDescriptors, ReportIdZeroOrAbove255Stops) {
    EXPECT_FALSE(Parse({0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}).wellFormed);
    const ReportLengths r = Parse({0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x86, 0x00, 0x01, 0x81, 0x02});
    EXPECT_FALSE(r.wellFormed);
    EXPECT_EQ(r.input, 2);
}

}  // namespace
}  // namespace tarvo
