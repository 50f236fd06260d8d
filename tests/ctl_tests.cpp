// tarvo-pulse-ctl's commands on the simulated platform: what each prints, its exit status, and every report each
// generator received. No run may leave a device handle open or use a handle that is not open.
#include "ctl/PulseCtl.h"
#include "device/SimulatedPlatform.h"
#include "protocol/FeatureReport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tarvo {
namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class PulseCtl : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(sim.OpenDeviceHandles(), 0);
        EXPECT_TRUE(sim.Misuses().empty());
    }

    SimDeviceConfig& Plug(const std::string& name, const std::u16string& serial) {
        SimDeviceConfig config;
        config.name = name;
        config.serial = serial;
        configs.push_back(config);
        return configs.back();
    }
    // Plugs what Plug prepared, in order; call once before the first run.
    void PlugAll() {
        for (const SimDeviceConfig& c : configs) ASSERT_TRUE(sim.Plug(c));
    }

    Result Ctl(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        Result r;
        r.status = RunPulseCtl(args, sim, out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    // Every set-feature request the device received, in hex; " failed" after one the platform failed.
    std::vector<std::string> Commands(const std::string& device) const {
        std::vector<std::string> frames;
        for (const SimCall& call : sim.Calls())
            if (call.op == "HidD_SetFeature" && call.device == device)
                frames.push_back(HexBytes(call.bytes) + (call.ok ? "" : " failed"));
        return frames;
    }
    int Count(const std::string& op) const {
        int n = 0;
        for (const SimCall& call : sim.Calls()) n += call.op == op;
        return n;
    }

    SimulatedPlatform sim;
    std::vector<SimDeviceConfig> configs;
};

const std::string FREQUENCY_12345679 = "00 01 00 4F 61 BC 00 00 00";
const std::string FREQUENCY_10000000 = "00 01 00 80 96 98 00 00 00";
const std::string AMPLITUDE_360 = "00 02 00 68 01 00 00 00 00";

TEST_F(PulseCtl, ListShowsEachGeneratorInWalkOrderAsTheWindowDoes) {
    Plug("A", u"TPG-A").version = 0x010A;
    SimDeviceConfig& mouse = Plug("mouse", u"M-1");
    mouse.vendorId = 0x845E;
    Plug("B", u"TPG-B").product = u"Pulse \u00C9dition";
    SimDeviceConfig& c = Plug("C", u"TPG-C");
    c.version = 0x0203;
    PlugAll();
    sim.Fail("C", SimOp::Manufacturer);  // the window then shows neither maker nor version

    const Result plain = Ctl({"list"});
    EXPECT_EQ(plain.status, CTL_DONE);
    EXPECT_EQ(plain.out,
              "TPG-A\tTarvo\tPulse Generator\t1.0A\n"
              "TPG-B\tTarvo\tPulse \xC3\x89" "dition\t1.00\n"
              "TPG-C\t\tPulse Generator\t\n");
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(Count("HidD_SetFeature") + Count("HidD_GetFeature"), 0);

    const Result json = Ctl({"--json", "list"});
    EXPECT_EQ(json.status, CTL_DONE);
    EXPECT_EQ(json.out,
              "[\n"
              "  {\"serial\": \"TPG-A\", \"manufacturer\": \"Tarvo\", \"product\": \"Pulse Generator\", \"version\": \"1.0A\"},\n"
              "  {\"serial\": \"TPG-B\", \"manufacturer\": \"Tarvo\", \"product\": \"Pulse \xC3\x89" "dition\", \"version\": \"1.00\"},\n"
              "  {\"serial\": \"TPG-C\", \"manufacturer\": null, \"product\": \"Pulse Generator\", \"version\": null}\n"
              "]\n");
}

TEST_F(PulseCtl, ListQuotesControlCharactersAndNamesSerialNumbersThatCannotBeToldApart) {
    Plug("A", u"S\"1\\\t");
    Plug("B", u"DUP");
    Plug("C", u"DUP").manufacturer = u"Other";
    PlugAll();
    const Result r = Ctl({"list", "--json"});
    EXPECT_EQ(r.status, CTL_DONE);
    EXPECT_NE(r.out.find("{\"serial\": \"S\\\"1\\\\\\u0009\""), std::string::npos) << r.out;
    // FindTheHid opens the first generator of a serial number, so both lines show that one.
    EXPECT_EQ(r.out.find("Other"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("several pulse generators have the serial number \"DUP\""), std::string::npos) << r.err;
}

TEST_F(PulseCtl, ListWithoutGeneratorsPrintsNothingAndExitsThree) {
    Plug("mouse", u"M").vendorId = 0x845E;
    PlugAll();
    const Result plain = Ctl({"list"});
    EXPECT_EQ(plain.status, CTL_NO_GENERATOR);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "tarvo-pulse-ctl: no pulse generator is attached\n");
    const Result json = Ctl({"list", "--json"});
    EXPECT_EQ(json.status, CTL_NO_GENERATOR);
    EXPECT_EQ(json.out, "[]\n");
}

TEST_F(PulseCtl, AGeneratorListedButNotOpenedExitsOneAndListGoesOnPastIt) {
    Plug("A", u"TPG-A");
    Plug("B", u"TPG-B");
    PlugAll();
    // After each walk A's serial number cannot be read: the scan lists it, the open that follows misses it.
    sim.onCall = [this](const SimCall& call) {
        if (call.op == "SetupDiDestroyDeviceInfoList") sim.Fail("A", SimOp::Serial);
    };
    const Result list = Ctl({"list"});
    EXPECT_EQ(list.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(list.out, "TPG-A\t\t\t\nTPG-B\tTarvo\tPulse Generator\t1.00\n");
    EXPECT_EQ(list.err, "tarvo-pulse-ctl: the pulse generator \"TPG-A\" could not be opened\n");

    sim.Heal("A", SimOp::Serial);
    const Result set = Ctl({"set", "-s", "TPG-A", "--frequency", "25000"});
    EXPECT_EQ(set.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(set.err, "tarvo-pulse-ctl: the pulse generator \"TPG-A\" could not be opened\n");
    EXPECT_TRUE(Commands("A").empty());
}

TEST_F(PulseCtl, StatusReadsOnceAndShowsHertzMillivoltsAndIndex) {
    SimDeviceConfig& a = Plug("A", u"TPG-A");
    a.frequency = 12345679;
    a.amplitude = 24;
    PlugAll();
    const Result plain = Ctl({"status"});
    EXPECT_EQ(plain.status, CTL_DONE);
    EXPECT_EQ(plain.out, "serial: TPG-A\nfrequency: 12345679 Hz\namplitude: 123 mV (index 24)\n");
    EXPECT_EQ(Count("HidD_GetFeature"), 1);
    EXPECT_EQ(Count("HidD_SetFeature"), 0);
    const Result json = Ctl({"status", "--json", "-s", "TPG-A"});
    EXPECT_EQ(json.status, CTL_DONE);
    EXPECT_EQ(json.out,
              "{\"serial\": \"TPG-A\", \"frequency_hz\": 12345679, \"amplitude_mv\": 123, \"amplitude_index\": 24, "
              "\"frequency_replaced\": false, \"amplitude_replaced\": false, \"reported_frequency_hz\": 12345679, "
              "\"reported_amplitude_index\": 24}\n");
}

TEST_F(PulseCtl, StatusMakesTheWindowsReplacementsAndSaysSo) {
    Plug("A", u"TPG-A");
    PlugAll();
    sim.SetReply("A", {0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});  // -1 Hz, index 511
    const Result plain = Ctl({"status"});
    EXPECT_EQ(plain.status, CTL_DONE);
    EXPECT_EQ(plain.out,
              "serial: TPG-A\n"
              "frequency: 10000000 Hz (replaced: the generator reported -1 Hz, outside 25000 to 350000000 Hz)\n"
              "amplitude: 1096 mV (index 339) (replaced: the generator reported index 511, above 510)\n");
    const Result json = Ctl({"status", "--json"});
    EXPECT_NE(json.out.find("\"frequency_hz\": 10000000, \"amplitude_mv\": 1096, \"amplitude_index\": 339, "
                            "\"frequency_replaced\": true, \"amplitude_replaced\": true, \"reported_frequency_hz\": -1, "
                            "\"reported_amplitude_index\": 511}"),
              std::string::npos)
        << json.out;
}

TEST_F(PulseCtl, StatusFailsWithTheDevice) {
    Plug("A", u"TPG-A");
    Plug("B", u"TPG-B").featureLength = 8;
    PlugAll();
    sim.Fail("A", SimOp::GetFeature);
    const Result failed = Ctl({"status", "-s", "TPG-A"});
    EXPECT_EQ(failed.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "tarvo-pulse-ctl: the generator failed the status request\n");
    const Result shortReport = Ctl({"status", "-s", "TPG-B"});
    EXPECT_EQ(shortReport.status, CTL_DEVICE_FAILED);
    EXPECT_NE(shortReport.err.find("feature report of 8 bytes cannot hold a status"), std::string::npos);
}

TEST_F(PulseCtl, SelectsBySerialNumberAndNeverGuesses) {
    Plug("A", u"TPG-A");
    Plug("B", u"TPG-B");
    Plug("C", u"TPG-C");
    Plug("D1", u"DUP");
    Plug("D2", u"DUP");
    PlugAll();

    const Result several = Ctl({"set", "--frequency", "25000"});
    EXPECT_EQ(several.status, CTL_BAD_USAGE);
    EXPECT_EQ(several.err, "tarvo-pulse-ctl: 5 pulse generators are attached (\"TPG-A\", \"TPG-B\", \"TPG-C\", "
                           "\"DUP\", \"DUP\"); choose one with -s SERIAL\n");
    const Result unknown = Ctl({"status", "-s", "TPG-X"});
    EXPECT_EQ(unknown.status, CTL_NO_GENERATOR);
    EXPECT_NE(unknown.err.find("no pulse generator has the serial number \"TPG-X\"; attached: \"TPG-A\""),
              std::string::npos);
    EXPECT_EQ(Ctl({"status", "-s", "tpg-b"}).status, CTL_NO_GENERATOR);  // letter case counts
    const Result duplicate = Ctl({"set", "-s", "DUP", "--amplitude-index", "1"});
    EXPECT_EQ(duplicate.status, CTL_NO_GENERATOR);
    EXPECT_NE(duplicate.err.find("2 attached pulse generators have the serial number \"DUP\""), std::string::npos);
    EXPECT_EQ(Count("HidD_SetFeature") + Count("HidD_GetFeature"), 0);

    const Result middle = Ctl({"set", "--serial=TPG-B", "--frequency", "25000"});
    EXPECT_EQ(middle.status, CTL_DONE);
    EXPECT_EQ(Commands("B"), std::vector<std::string>{"00 01 00 A8 61 00 00 00 00"});
    EXPECT_TRUE(Commands("A").empty() && Commands("C").empty());
}

TEST_F(PulseCtl, SetSendsTheFrequencyRoundedHalfUpThenTheAmplitude) {
    Plug("A", u"TPG-A");
    PlugAll();
    const Result r = Ctl({"set", "--amplitude", "1161", "--frequency", "12345678.5"});
    EXPECT_EQ(r.status, CTL_DONE);
    EXPECT_EQ(r.out, "frequency 12345679 Hz sent (12345678.5 rounded to whole hertz)\n"
                     "amplitude 1161 mV (index 360) sent\n");
    EXPECT_EQ(Commands("A"), (std::vector<std::string>{FREQUENCY_12345679, AMPLITUDE_360}));
    EXPECT_EQ(Count("HidD_GetFeature"), 0);  // no read-back unless asked

    sim.ClearRecords();
    EXPECT_EQ(Ctl({"set", "--frequency", " 1e7 "}).out, "frequency 10000000 Hz sent\n");
    EXPECT_EQ(Ctl({"set", "--frequency", "\t25000.4 "}).out, "frequency 25000 Hz sent (25000.4 rounded to whole hertz)\n");
    EXPECT_EQ(Ctl({"set", "--amplitude-index", "510"}).out, "amplitude 1624 mV (index 510) sent\n");
    EXPECT_EQ(Commands("A"), (std::vector<std::string>{FREQUENCY_10000000, "00 01 00 A8 61 00 00 00 00",
                                                       "00 02 00 FE 01 00 00 00 00"}));
    EXPECT_EQ(sim.Device("A")->frequency, 25000);
    EXPECT_EQ(sim.Device("A")->amplitude, 510);
}

TEST_F(PulseCtl, RestoreSendsTheWindowsDefaultsFrequencyFirst) {
    SimDeviceConfig& a = Plug("A", u"TPG-A");
    a.frequency = 25000;
    a.amplitude = 7;
    PlugAll();
    const Result r = Ctl({"restore", "--verify"});
    EXPECT_EQ(r.status, CTL_DONE);
    EXPECT_EQ(r.out,
              "frequency 10000000 Hz sent\namplitude 1161 mV (index 360) sent\n"
              "verified: the generator reports 10000000 Hz and 1161 mV (index 360)\n");
    EXPECT_EQ(Commands("A"), (std::vector<std::string>{FREQUENCY_10000000, AMPLITUDE_360}));
}

// Usage and input errors: exit 2 before the platform is touched at all.
TEST_F(PulseCtl, RefusesBadUsageAndInputWithoutTouchingTheDevice) {
    Plug("A", u"TPG-A");
    PlugAll();
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{}, "no command given"},
        {{"reset"}, "unknown command \"reset\""},
        {{"list", "extra"}, "unexpected argument \"extra\""},
        {{"list", "--frq", "1"}, "unknown option \"--frq\""},
        {{"list", "-s", "TPG-A"}, "--serial does not apply to list"},
        {{"status", "--verify"}, "--verify does not apply to status"},
        {{"set", "--json", "--frequency", "25000"}, "--json does not apply to set"},
        {{"set"}, "set needs --frequency, --amplitude or --amplitude-index"},
        {{"set", "--frequency"}, "--frequency needs a value"},
        {{"set", "--frequency", "1e6", "--frequency", "2e6"}, "--frequency is given twice"},
        {{"set", "--amplitude", "1161", "--amplitude-index", "360"}, "not both"},
        {{"set", "--frequency", ""}, "Bad input: Enter pulse frequency in Hz (\"\" is not a number)"},
        {{"set", "--frequency", "10 MHz"}, "Bad input: Enter pulse frequency in Hz"},
        {{"set", "--frequency", "24999.5"},
         "Bad data range: Pulse frequency is between 25kHz and 350MHz (\"24999.5\"; the nearest accepted value is 25000)"},
        {{"set", "--frequency", "350000000.4"}, "the nearest accepted value is 350000000"},
        {{"set", "--amplitude", "1160"},
         "there is no amplitude \"1160\" mV in the list: the nearest are 1158 mV (index 359) and 1161 mV (index 360)"},
        {{"set", "--amplitude", "48"}, "the lowest is 49 mV (index 0)"},
        {{"set", "--amplitude", "1625"}, "the highest is 1624 mV (index 510)"},
        {{"set", "--amplitude", "1161.0"}, "give it as the list writes it, 1161"},
        {{"set", "--amplitude", "1 V"}, "the amplitude \"1 V\" is not a number of millivolts"},
        {{"set", "--amplitude-index", "511"}, "is not a whole number from 0 to 510"},
        {{"set", "--amplitude-index", "3.0"}, "is not a whole number from 0 to 510"},
        // A valid frequency is not sent when the amplitude beside it is refused.
        {{"set", "--frequency", "25000", "--amplitude", "50"}, "there is no amplitude \"50\" mV"},
    };
    for (const auto& [args, message] : refused) {
        const Result r = Ctl(args);
        EXPECT_EQ(r.status, CTL_BAD_USAGE) << message;
        EXPECT_EQ(r.out, "") << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Try 'tarvo-pulse-ctl --help'."), std::string::npos) << r.err;
    }
    EXPECT_TRUE(sim.Calls().empty());
}

TEST_F(PulseCtl, HelpAndVersionNeedNoDevice) {
    const Result help = Ctl({"set", "--frequency", "abc", "--help"});
    EXPECT_EQ(help.status, CTL_DONE);
    EXPECT_EQ(help.out, PulseCtlUsage());
    EXPECT_NE(help.out.find("Exit status: 0 done; 1"), std::string::npos);
    EXPECT_EQ(Ctl({"-h"}).status, CTL_DONE);
    EXPECT_EQ(Ctl({"--version"}).out.rfind("tarvo-pulse-ctl ", 0), 0u);
    EXPECT_TRUE(sim.Calls().empty());
}

TEST_F(PulseCtl, AFailedCommandStopsTheRunAndExitsOne) {
    Plug("A", u"TPG-A");
    Plug("B", u"TPG-B");
    Plug("C", u"TPG-C").featureLength = 6;  // holds an amplitude command, not a frequency command
    PlugAll();

    sim.Fail("A", SimOp::SetFeature, 1);
    const Result frequencyFails = Ctl({"set", "-s", "TPG-A", "--frequency", "25000", "--amplitude-index", "0"});
    EXPECT_EQ(frequencyFails.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(frequencyFails.out, "");
    EXPECT_EQ(frequencyFails.err, "tarvo-pulse-ctl: the pulse generator \"TPG-A\" failed the frequency command\n");
    EXPECT_EQ(Commands("A"), std::vector<std::string>{"00 01 00 A8 61 00 00 00 00 failed"});  // no amplitude after it

    sim.onCall = [this](const SimCall& call) {
        if (call.op == "HidD_SetFeature" && call.device == "B") sim.Fail("B", SimOp::SetFeature, 1);
    };
    const Result amplitudeFails = Ctl({"set", "-s", "TPG-B", "--frequency", "25000", "--amplitude-index", "0"});
    sim.onCall = nullptr;
    EXPECT_EQ(amplitudeFails.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(amplitudeFails.out, "frequency 25000 Hz sent\n");
    EXPECT_EQ(amplitudeFails.err, "tarvo-pulse-ctl: the pulse generator \"TPG-B\" failed the amplitude command\n");

    const Result tooShort = Ctl({"restore", "-s", "TPG-C"});
    EXPECT_EQ(tooShort.status, CTL_DEVICE_FAILED);
    EXPECT_NE(tooShort.err.find("(6 bytes) cannot hold the frequency command; it was not sent"), std::string::npos);
    EXPECT_TRUE(Commands("C").empty());
    EXPECT_EQ(Ctl({"set", "-s", "TPG-C", "--amplitude-index", "2"}).status, CTL_DONE);
    EXPECT_EQ(Commands("C"), std::vector<std::string>{"00 02 00 02 00 00"});

    sim.Fail("B", SimOp::Serial);  // listed by no walk: no such generator
    EXPECT_EQ(Ctl({"status", "-s", "TPG-B"}).status, CTL_NO_GENERATOR);
}

TEST_F(PulseCtl, VerifyCatchesAGeneratorThatIgnoresCommands) {
    Plug("A", u"TPG-A");
    Plug("B", u"TPG-B").appliesCommands = false;
    PlugAll();
    const Result good = Ctl({"set", "-s", "TPG-A", "--frequency", "12345678.5", "--amplitude", "1161", "--verify"});
    EXPECT_EQ(good.status, CTL_DONE);
    EXPECT_NE(good.out.find("verified: the generator reports 12345679 Hz and 1161 mV (index 360)"), std::string::npos);

    const Result ignored = Ctl({"set", "-s", "TPG-B", "--frequency", "12345678.5", "--amplitude-index", "0", "--verify"});
    EXPECT_EQ(ignored.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(Commands("B"), (std::vector<std::string>{FREQUENCY_12345679, "00 02 00 00 00 00 00 00 00"}));
    EXPECT_EQ(ignored.err,
              "tarvo-pulse-ctl: verify: the generator reports 10000000 Hz, not the 12345679 Hz sent\n"
              "tarvo-pulse-ctl: verify: the generator reports amplitude index 360, not the 49 mV (index 0) sent\n");
    // Without --verify the same generator passes: nothing is read back.
    EXPECT_EQ(Ctl({"set", "-s", "TPG-B", "--frequency", "25000"}).status, CTL_DONE);
}

TEST_F(PulseCtl, VerifyComparesWhatTheGeneratorReportsNotWhatTheWindowWouldShow) {
    Plug("A", u"TPG-A");
    PlugAll();
    // A generator reporting 0 Hz and index 600 is shown as 10000000 Hz and index 339; it has taken neither.
    sim.SetReply("A", {0, 0, 0, 0, 0, 0, 0, 0x58, 0x02});
    const Result r = Ctl({"set", "--frequency", "10000000", "--amplitude-index", "339", "--verify"});
    EXPECT_EQ(r.status, CTL_DEVICE_FAILED);
    EXPECT_NE(r.err.find("reports 0 Hz, not the 10000000 Hz sent"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("reports amplitude index 600, not the 1096 mV (index 339) sent"), std::string::npos) << r.err;

    sim.ClearReply("A");
    sim.Fail("A", SimOp::GetFeature);
    const Result unread = Ctl({"restore", "--verify"});
    EXPECT_EQ(unread.status, CTL_DEVICE_FAILED);
    EXPECT_EQ(unread.err,
              "tarvo-pulse-ctl: the generator failed the status request\n"
              "tarvo-pulse-ctl: what was sent could not be verified\n");
}

}  // namespace
}  // namespace tarvo
