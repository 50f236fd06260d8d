// Finding and opening pulse generators on the simulated platform: the walk, its handle bookkeeping, the serial
// texts, the open and the read channel.
#include "device/DeviceFinder.h"
#include "device/GeneratorChoice.h"
#include "device/HidString.h"
#include "device/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarvo {
namespace {

// The serial-number list as a vector; counts the selection events the walk raises.
struct FakeList final : ListedSerialNumbers {
    FakeList() { enabled = true; }
    int selectEvents = 0;
    void Select(int index) override { selected = index, ++selectEvents; }
};

std::vector<std::uint8_t> Utf16Buffer(const std::u16string& text, std::size_t size = 201) {
    std::vector<std::uint8_t> buffer(size, 0);
    for (std::size_t i = 0; i < text.size() && 2 * i + 1 < size; ++i) {
        buffer[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        buffer[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return buffer;
}

TEST(HidStringToText, TakesLowBytesUpToTheFirstZeroLowByte) {
    auto text = [](const std::u16string& s) { auto b = Utf16Buffer(s); return HidStringBytes(b.data(), b.size()); };
    EXPECT_EQ(text(u"Tarvo"), "Tarvo");
    EXPECT_EQ(text(u""), "");
    EXPECT_EQ(text(u" a b "), " a b ");           // nothing is trimmed
    EXPECT_EQ(text(u"\u0141x"), "Ax");            // the high byte is ignored
    EXPECT_EQ(text(u"AB\u0100CD"), "AB");         // a zero low byte ends the text
    EXPECT_EQ(text(u"\u00E9"), "\xE9");
}

TEST(HidStringToText, StopsAtTheBufferEndAndFiftyCharactersOfAHundredBytes) {
    // A read offered 100 bytes of a 201-byte buffer that fills all 100 leaves byte 100 zero: 50 characters.
    std::vector<std::uint8_t> buffer(201, 0);
    for (int i = 0; i < 100; i += 2) buffer[i] = 'x';
    EXPECT_EQ(HidStringBytes(buffer.data(), buffer.size()), std::string(50, 'x'));
    // Without any terminator the text ends with the buffer.
    std::vector<std::uint8_t> full(7, 'y');
    EXPECT_EQ(HidStringBytes(full.data(), full.size()), "yyyy");
    EXPECT_EQ(HidStringBytes(full.data(), 0), "");
}

TEST(HidStringToText, MapsTheUpperHalfThroughTheCodePage) {
    SimulatedPlatform api;  // ISO 8859-1, as on every platform but Windows
    auto b = Utf16Buffer(u"caf\u00E9 \u00FF");
    EXPECT_EQ(HidStringToText(api, b.data(), b.size()), "caf\xC3\xA9 \xC3\xBF");
}

class Walk : public ::testing::Test {
protected:
    SimulatedPlatform sim;
    DeviceSession session;
    FakeList list;
    DeviceContext c{session, sim, list};

    void Plug(const std::string& name, void (*edit)(SimDeviceConfig&) = nullptr) {
        SimDeviceConfig config;
        config.name = name;
        config.serial = std::u16string(name.begin(), name.end());
        if (edit) edit(config);
        ASSERT_TRUE(sim.Plug(config));
    }
    int Count(const std::string& op, const std::string& device = "") const {
        return static_cast<int>(std::count_if(sim.Calls().begin(), sim.Calls().end(), [&](const SimCall& call) {
            return call.op == op && (device.empty() || call.device == device);
        }));
    }
    // The only calls allowed on an invalid handle in a walk: the attribute read after a failed open.
    void ExpectNoMisuseBut(const std::vector<std::string>& allowedOnInvalid = {}) const {
        for (const SimMisuse& m : sim.Misuses()) {
            const bool allowed = m.state == "invalid" &&
                                 std::find(allowedOnInvalid.begin(), allowedOnInvalid.end(), m.op) != allowedOnInvalid.end();
            EXPECT_TRUE(allowed) << m.op << " on a " << m.state << " handle";
        }
    }
};

TEST_F(Walk, ListsNothingWithoutAPulseGenerator) {
    Plug("mouse", [](SimDeviceConfig& d) { d.vendorId = 0x046D, d.productId = 0xC077; });
    Plug("other-product", [](SimDeviceConfig& d) { d.productId = 0x0002; });
    Plug("other-vendor", [](SimDeviceConfig& d) { d.vendorId = 0x1208; });
    list.entries = {"stale"};
    Scan_USB_devices(c);
    EXPECT_TRUE(list.entries.empty());
    EXPECT_EQ(list.selected, -1);
    EXPECT_FALSE(list.enabled);
    EXPECT_TRUE(session.EnumerationDone);
    // Every interface was opened and examined, nothing else was asked of it.
    EXPECT_EQ(Count("CreateFileA"), 3);
    EXPECT_EQ(Count("HidD_GetAttributes"), 3);
    EXPECT_EQ(Count("HidD_GetSerialNumberString"), 0);
    EXPECT_EQ(Count("CloseHandle"), 3);
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    ExpectNoMisuseBut();
}

TEST_F(Walk, OneGeneratorIsSelectedAndTheListStaysDisabled) {
    Plug("A");
    session.SettingsLoaded = true;
    Scan_USB_devices(c);
    EXPECT_EQ(list.entries, std::vector<std::string>{"A"});
    EXPECT_EQ(list.selected, 0);
    EXPECT_FALSE(list.enabled);
    EXPECT_FALSE(session.SettingsLoaded);
}

TEST_F(Walk, SeveralGeneratorsInWalkOrderWithTheLastSelected) {
    Plug("A");
    Plug("kbd", [](SimDeviceConfig& d) { d.vendorId = 0x0001; });
    Plug("B");
    Plug("C");
    Scan_USB_devices(c);
    EXPECT_EQ(list.entries, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(list.selected, 2);
    EXPECT_EQ(list.selectEvents, 3);  // the selection follows every insertion
    EXPECT_TRUE(list.enabled);
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

TEST_F(Walk, SerialTextsAsTheDeviceReportsThem) {
    Plug("long", [](SimDeviceConfig& d) { d.serial = std::u16string(60, u'7'); });
    Plug("cut", [](SimDeviceConfig& d) { d.serial = u"AB\u0100CD"; });
    Plug("empty", [](SimDeviceConfig& d) { d.serial = u""; });
    Plug("dup1", [](SimDeviceConfig& d) { d.serial = u"SAME"; });
    Plug("dup2", [](SimDeviceConfig& d) { d.serial = u"SAME"; });
    Plug("latin", [](SimDeviceConfig& d) { d.serial = u"\u00E9"; });
    Scan_USB_devices(c);
    EXPECT_EQ(list.entries,
              (std::vector<std::string>{std::string(50, '7'), "AB", "", "SAME", "SAME", "\xC3\xA9"}));
}

TEST_F(Walk, SkipsGeneratorsThatCannotBeOpenedReadOrNamed) {
    Plug("A");
    Plug("no-open");
    sim.Fail("no-open", SimOp::Open);
    Plug("no-attributes");
    sim.Fail("no-attributes", SimOp::Attributes);
    Plug("no-serial");
    sim.Fail("no-serial", SimOp::Serial);
    Plug("B");
    Scan_USB_devices(c);
    EXPECT_EQ(list.entries, (std::vector<std::string>{"A", "B"}));
    // The failed open left nothing to close; every handle that opened was closed.
    EXPECT_EQ(Count("CloseHandle"), 4);
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    ExpectNoMisuseBut({"HidD_GetAttributes"});
}

TEST_F(Walk, OneGeneratorWithTwoInterfacesIsListedTwice) {
    Plug("if0", [](SimDeviceConfig& d) { d.serial = u"TPG1"; });
    Plug("if1", [](SimDeviceConfig& d) { d.serial = u"TPG1"; });
    Scan_USB_devices(c);
    EXPECT_EQ(list.entries, (std::vector<std::string>{"TPG1", "TPG1"}));
}

TEST_F(Walk, OpenStopsAtTheFirstMatchWithoutExaminingTheRest) {
    Plug("A");
    Plug("B");
    Scan_USB_devices(c);
    list.selected = 0;
    sim.ClearRecords();
    EXPECT_TRUE(FindTheHid(c));
    EXPECT_TRUE(session.DeviceAttached);
    EXPECT_EQ(Count("CreateFileA", "B"), 0);
    EXPECT_EQ(Count("CreateFileA(overlapped)", "A"), 1);
    EXPECT_EQ(sim.OpenDeviceHandles(), 2);
    EXPECT_NE(session.DevicePath.find("sim&1"), std::string::npos);
}

TEST_F(Walk, OpenOfTheSecondClosesTheFirstCandidate) {
    Plug("A");
    Plug("B", [](SimDeviceConfig& d) { d.version = 0x0203, d.inputLength = 33, d.featureLength = 64; });
    Scan_USB_devices(c);
    sim.ClearRecords();
    EXPECT_TRUE(FindTheHid(c));
    EXPECT_EQ(Count("CloseHandle", "A"), 1);
    EXPECT_EQ(sim.OpenDeviceHandles(), 2);
    EXPECT_EQ(session.Attributes.VersionNumber, 0x0203);
    EXPECT_EQ(session.Caps.InputReportByteLength, 33);
    EXPECT_EQ(session.Caps.FeatureReportByteLength, 64);
    EXPECT_EQ(Count("HidD_FreePreparsedData"), 1);
}

TEST_F(Walk, TheSameSerialOpensTheOneEarlierInTheWalk) {
    Plug("first", [](SimDeviceConfig& d) { d.serial = u"SAME", d.version = 0x0101; });
    Plug("second", [](SimDeviceConfig& d) { d.serial = u"SAME", d.version = 0x0202; });
    Scan_USB_devices(c);
    EXPECT_TRUE(FindTheHid(c));
    EXPECT_EQ(session.Attributes.VersionNumber, 0x0101);
}

TEST_F(Walk, NoMatchLeavesNothingOpen) {
    Plug("abc");
    Scan_USB_devices(c);
    list.entries[0] = "ABC";  // the match is exact: case counts
    EXPECT_FALSE(FindTheHid(c));
    EXPECT_FALSE(session.DeviceAttached);
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);

    list.entries[0] = "abc";
    sim.Unplug("abc");  // gone between the scan and the open
    EXPECT_FALSE(FindTheHid(c));
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);

    list.Clear();  // nothing selected matches only an empty serial
    Plug("blank", [](SimDeviceConfig& d) { d.serial = u""; });
    EXPECT_TRUE(FindTheHid(c));
    ExpectNoMisuseBut();
}

TEST_F(Walk, AFailedSecondOpenStillOpensTheDevice) {
    Plug("A");
    sim.Fail("A", SimOp::OpenOverlapped);
    Scan_USB_devices(c);
    EXPECT_TRUE(FindTheHid(c));
    EXPECT_EQ(session.ReadHandle, INVALID_HANDLE_VALUE);
    EXPECT_NE(session.DeviceHandle, INVALID_HANDLE_VALUE);
}

TEST_F(Walk, CapsKeepTheirValuesWhenThePreparsedDataIsNotHad) {
    Plug("A", [](SimDeviceConfig& d) { d.featureLength = 12; });
    Scan_USB_devices(c);
    ASSERT_TRUE(FindTheHid(c));
    sim.CloseHandle(session.DeviceHandle);
    sim.CloseHandle(session.ReadHandle);
    Plug("B", [](SimDeviceConfig& d) { d.featureLength = 30; });
    sim.Fail("B", SimOp::Caps);
    list.entries = {"B"}, list.selected = 0;
    sim.ClearRecords();
    ASSERT_TRUE(FindTheHid(c));
    EXPECT_EQ(session.Caps.FeatureReportByteLength, 12);
    EXPECT_EQ(Count("HidP_GetCaps"), 0);
    EXPECT_EQ(Count("HidD_FreePreparsedData"), 0);  // nothing obtained, nothing released
}

TEST_F(Walk, TheReadEventIsCreatedOnceAndReused) {
    Plug("A");
    Scan_USB_devices(c);
    ASSERT_TRUE(FindTheHid(c));
    const Handle event = session.ReadEvent;
    EXPECT_NE(event, 0u);
    EXPECT_EQ(session.ReadOverlapped.hEvent, event);
    for (int round = 0; round < 3; ++round) {
        sim.CloseHandle(session.DeviceHandle);
        sim.CloseHandle(session.ReadHandle);
        Scan_USB_devices(c);
        ASSERT_TRUE(FindTheHid(c));
    }
    EXPECT_EQ(session.ReadEvent, event);
    EXPECT_EQ(session.ReadOverlapped.hEvent, event);
    EXPECT_EQ(session.ReadOverlapped.Offset, 0u);
    EXPECT_EQ(Count("CreateEventA"), 1);
    ExpectNoMisuseBut();
}

TEST_F(Walk, EveryDeviceInformationSetIsDestroyed) {
    Plug("A");
    Scan_USB_devices(c);
    FindTheHid(c);
    EXPECT_EQ(Count("SetupDiGetClassDevsA"), 2);
    EXPECT_EQ(Count("SetupDiDestroyDeviceInfoList"), 2);
    EXPECT_EQ(session.DeviceInfoSet, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace tarvo

namespace tarvo {
namespace {

// The one rule the programs choose a generator by.
TEST(ChooseGenerator, TheOneAskedForOrTheOnlyOneAndNeverAGuess) {
    using O = GeneratorChoiceOutcome;
    const std::vector<std::string> none, one = {"A"}, two = {"A", "B"}, twice = {"B", "A", "A"};
    EXPECT_EQ(ChooseGenerator(none, std::nullopt).outcome, O::NoneAttached);
    EXPECT_EQ(ChooseGenerator(none, "A").outcome, O::NoneAttached);
    EXPECT_EQ(ChooseGenerator(one, std::nullopt).outcome, O::Chosen);
    const GeneratorChoice several = ChooseGenerator(two, std::nullopt);
    EXPECT_EQ(several.outcome, O::Several);
    EXPECT_EQ(several.count, 2u);
    EXPECT_EQ(ChooseGenerator(two, "C").outcome, O::NotAttached);
    const GeneratorChoice b = ChooseGenerator(two, "B");
    EXPECT_EQ(b.outcome, O::Chosen);
    EXPECT_EQ(b.index, 1u);
    // Two that report one serial number cannot be told apart, even when they are all that is attached.
    const GeneratorChoice duplicated = ChooseGenerator(twice, "A");
    EXPECT_EQ(duplicated.outcome, O::Duplicated);
    EXPECT_EQ(duplicated.count, 2u);
    EXPECT_EQ(ChooseGenerator({"A", "A"}, std::nullopt).outcome, O::Several);
    EXPECT_EQ(ChooseGenerator(twice, "B").index, 0u);
}

}  // namespace
}  // namespace tarvo
