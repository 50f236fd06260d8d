// Wide strings into the caller's UTF-16LE buffer with the Windows rules: truncation at the buffer length, the
// terminating zero only where it fits, surrogate pairs; and what the device walk reads back from such a buffer.
#include "device/HidString.h"
#include "device/Utf16Buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t UNTOUCHED = 0xAA;

// Writes text into a buffer of `size` bytes pre-filled with UNTOUCHED, offering `length` of them.
Bytes Write(std::u32string_view text, std::size_t length, std::size_t size, std::size_t* written = nullptr) {
    Bytes buffer(size, UNTOUCHED);
    const std::size_t n = WriteUtf16Buffer(text, buffer.data(), length);
    if (written) *written = n;
    return buffer;
}

TEST(Utf16Buffer, AStringThatFitsEndsWithATwoByteZero) {
    std::size_t written = 0;
    const Bytes b = Write(U"TPG", 100, 10, &written);
    EXPECT_EQ(written, 8u);
    EXPECT_EQ(b, (Bytes{'T', 0, 'P', 0, 'G', 0, 0, 0, UNTOUCHED, UNTOUCHED}));
}

TEST(Utf16Buffer, TheTerminatorIsLeftOutWhereItDoesNotFit) {
    // Exactly the string's bytes: no terminator.
    EXPECT_EQ(Write(U"TPG", 6, 8), (Bytes{'T', 0, 'P', 0, 'G', 0, UNTOUCHED, UNTOUCHED}));
    // One byte more is not room for a terminator, and that byte stays as it was.
    EXPECT_EQ(Write(U"TPG", 7, 8), (Bytes{'T', 0, 'P', 0, 'G', 0, UNTOUCHED, UNTOUCHED}));
    // An empty string in two bytes is just the terminator.
    EXPECT_EQ(Write(U"", 2, 3), (Bytes{0, 0, UNTOUCHED}));
}

TEST(Utf16Buffer, ALongStringIsCutAtTheBufferLengthInWholeUnits) {
    const std::u32string sixty(60, U'7');
    std::size_t written = 0;
    const Bytes b = Write(sixty, 101, 104, &written);
    EXPECT_EQ(written, 100u);
    for (std::size_t i = 0; i < 100; i += 2) {
        ASSERT_EQ(b[i], '7');
        ASSERT_EQ(b[i + 1], 0);
    }
    EXPECT_EQ(b[100], UNTOUCHED);
    EXPECT_EQ(Write(U"TPG", 0, 2), (Bytes{UNTOUCHED, UNTOUCHED}));
}

TEST(Utf16Buffer, CharactersAboveTheBmpBecomeSurrogatePairs) {
    // U+1F600 is D83D DE00; U+10FFFF is DBFF DFFF.
    EXPECT_EQ(Write(U"A\U0001F600\U0010FFFF", 100, 12),
              (Bytes{'A', 0, 0x3D, 0xD8, 0x00, 0xDE, 0xFF, 0xDB, 0xFF, 0xDF, 0, 0}));
    // The end of the buffer may fall between the two units of a pair, as in any Windows string read.
    EXPECT_EQ(Write(U"A\U0001F600", 4, 6), (Bytes{'A', 0, 0x3D, 0xD8, UNTOUCHED, UNTOUCHED}));
}

TEST(Utf16Buffer, ValuesThatAreNotCharactersBecomeTheReplacementCharacter) {
    EXPECT_EQ(Write(std::u32string{0xD800, 0x110000, U'x'}, 100, 8),
              (Bytes{0xFD, 0xFF, 0xFD, 0xFF, 'x', 0, 0, 0}));
}

TEST(Utf16Buffer, WideTextEndsAtItsFirstNulOrAtTheLimit) {
    const wchar_t text[] = L"TPG\0hidden";
    EXPECT_EQ(WideToUtf32(text, 64), U"TPG");
    EXPECT_EQ(WideToUtf32(text, 2), U"TP");
    EXPECT_EQ(WideToUtf32(nullptr, 8), U"");
    if constexpr (sizeof(wchar_t) >= 4) {
        const wchar_t emoji[] = {static_cast<wchar_t>(0x1F600), 0};
        EXPECT_EQ(WideToUtf32(emoji, 8), U"\U0001F600");
    }
}

TEST(Utf16Buffer, TheWalkReadsBackAtMostFiftyCharactersFromAHundredByteRead) {
    // As the device walk offers it: 100 of 201 zeroed bytes.
    Bytes buffer(201, 0);
    WriteUtf16Buffer(std::u32string(70, U'S'), buffer.data(), 100);
    EXPECT_EQ(HidStringBytes(buffer.data(), buffer.size()), std::string(50, 'S'));
    Bytes shortOne(201, 0xEE);
    WriteUtf16Buffer(U"TPG-1", shortOne.data(), 100);
    EXPECT_EQ(HidStringBytes(shortOne.data(), shortOne.size()), "TPG-1");
}

}  // namespace
}  // namespace tarvo
