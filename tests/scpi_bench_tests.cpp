// The generator bench under the SCPI language, on the simulated platform: what the language sees of real
// generators (their strings, their status bytes, failures and stale handles), and that no handle is left open.
#include "protocol/FeatureReport.h"
#include "scpi/device/GeneratorBench.h"
#include "scpi/language/ScpiSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::scpi {
namespace {

std::string FrequencyFrame(std::int32_t hertz) { return '"' + HexBytes(EncodeFrequencyCommand(hertz, 9)) + '"'; }

std::vector<std::string> Errors(ScpiSession& s) {
    std::vector<std::string> errors;
    for (int i = 0; i < 40; ++i) {
        std::string e = s.Receive("SYST:ERR?\n");
        if (e == "0,\"No error\"\n") break;
        errors.push_back(e.substr(0, e.size() - 1));
    }
    return errors;
}

TEST(ScpiBench, AHandleThatReadsAShortFeatureReportIsNotKeptPastItsRequest) {
    // Opened while it was being removed, a generator reads a feature report of 0 bytes; once it is plugged in
    // again, the next command reaches it.
    SimulatedPlatform sim;
    InstrumentLock lock;
    GeneratorBench bench(sim, std::nullopt, &sim);
    SimDeviceConfig removing;
    removing.name = "TPG-1";
    removing.serial = u"TPG-1";
    removing.featureLength = 0;
    ASSERT_TRUE(sim.Plug(removing));
    ScpiSession s(bench, lock);
    EXPECT_EQ(s.Receive("FREQ 2e6\n"), "");
    EXPECT_EQ(Errors(s), std::vector<std::string>{
                             "-240,\"Hardware error;generator TPG-1 has a feature report of 0 bytes, too short for the request\""});
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    ASSERT_TRUE(sim.Unplug("TPG-1"));
    ASSERT_TRUE(bench.PlugSimulated("TPG-1"));
    EXPECT_EQ(s.Receive("FREQ 3e6;FREQ?\n"), "3000000\n");
    EXPECT_EQ(Errors(s), std::vector<std::string>{});
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), FrequencyFrame(3000000) + "\n");
    bench.CloseAll();
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

TEST(ScpiBench, StatusBytesStaleHandlesAndFailuresAsTheLanguageSeesThem) {
    SimulatedPlatform sim;
    InstrumentLock lock;
    {
        GeneratorBench bench(sim, std::nullopt, &sim);
        ASSERT_TRUE(bench.PlugSimulated("TPG-1"));
        ScpiSession s(bench, lock);
        EXPECT_EQ(s.Receive("*IDN?;FREQ 1e6;FREQ?;VOLT?\n"), "Tarvo,Pulse Generator,TPG-1,1.00;1000000;1.161\n");
        // The status reply's own bytes: a frequency outside the range, an amplitude index the list lacks.
        sim.SetReply("TPG-1", {0, 0, 0, 0xA7, 0x61, 0, 0, 0xFF, 0x01});
        EXPECT_EQ(s.Receive("FREQ?;VOLT?\n"), "24999;9.91E+37\n");
        EXPECT_EQ(Errors(s), (std::vector<std::string>{"-240,\"Hardware error;the generator reports amplitude index "
                                                       "511, which the list of 511 lacks\""}));
        sim.ClearReply("TPG-1");
        // Unplugged and plugged between two commands, with the old handles gone stale: the first command works.
        EXPECT_EQ(s.Receive("SIM:UNPL \"TPG-1\";PLUG \"TPG-1\"\nFREQ 4e6;FREQ?\n"), "4000000\n");
        EXPECT_EQ(s.Receive("SIM:UNPL\nFREQ 2e6\n"), "");
        EXPECT_EQ(Errors(s), std::vector<std::string>{"-241,\"Hardware missing;generator TPG-1 is not attached\""});
        EXPECT_EQ(s.Receive("SIM:PLUG \"TPG-1\"\nSIM:LOG?\n"), FrequencyFrame(1000000) + "," + FrequencyFrame(4000000) + "\n");
        // A generator that fails requests while listed: -240, after one fresh try.
        sim.Fail("TPG-1", SimOp::SetFeature);
        sim.Fail("TPG-1", SimOp::GetFeature);
        EXPECT_EQ(s.Receive("FREQ 5e6;*RST;*TST?;FREQ?\n"), "1\n");
        EXPECT_EQ(Errors(s), std::vector<std::string>(4, "-240,\"Hardware error;generator TPG-1 failed the request\""));
        sim.Heal("TPG-1", SimOp::SetFeature);
        sim.Heal("TPG-1", SimOp::GetFeature);
        EXPECT_EQ(s.Receive("*TST?\n"), "0\n");
        bench.CloseAll();
        EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    }
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    EXPECT_TRUE(sim.Misuses().empty());
}

TEST(ScpiBench, OnlyTheNamedGeneratorAndNoSimulationCommandsOnRealPlatforms) {
    SimulatedPlatform sim;
    for (const char* serial : {"TPG-1", "TPG-2"}) {
        SimDeviceConfig config;
        config.name = serial;
        for (const char* c = serial; *c; ++c) config.serial.push_back(static_cast<char16_t>(*c));
        config.manufacturer = u" Tar,vo; ";
        config.product = u"";
        ASSERT_TRUE(sim.Plug(config));
    }
    GeneratorBench bench(sim, std::string("TPG-2"), nullptr);
    InstrumentLock lock;
    ScpiSession s(bench, lock);
    EXPECT_EQ(s.Receive("*IDN?;INST:CAT?;:INST?\n"), "Tarvo,0,TPG-2,1.00;\"TPG-2\";\"TPG-2\"\n");
    EXPECT_EQ(s.Receive("INST:SEL \"TPG-1\";:SIM:PLUG \"X\";:FREQ 1e6\n"), "");
    EXPECT_EQ(Errors(s), (std::vector<std::string>{
                             "-224,\"Illegal parameter value;this server serves generator TPG-2 only\"",
                             "-113,\"Undefined header;:SIM:PLUG: the SIMulate commands work only with --simulate\""}));
    EXPECT_EQ(s.Receive("FREQ 1e6;FREQ?\n"), "1000000\n");
    EXPECT_TRUE(sim.Misuses().empty());
}

TEST(ScpiBench, TwoGeneratorsThatReportOneSerialNumberAreNeverGuessedBetween) {
    SimulatedPlatform sim;
    InstrumentLock lock;
    GeneratorBench bench(sim, std::nullopt, &sim);
    ASSERT_TRUE(bench.PlugSimulated("TPG-1"));
    SimDeviceConfig twin;
    twin.name = "twin";
    twin.serial = u"TPG-1";
    ASSERT_TRUE(sim.Plug(twin));
    ScpiSession s(bench, lock);
    const std::string twice = "-221,\"Settings conflict;2 attached generators report the serial number TPG-1: they "
                              "cannot be told apart\"";
    EXPECT_EQ(s.Receive("FREQ 1e6\nINST:CAT?\nINST:SEL \"TPG-1\"\n"), "\"TPG-1\"\n");
    EXPECT_EQ(Errors(s), (std::vector<std::string>{"-221,\"Settings conflict;2 generators are attached (TPG-1, TPG-1): "
                                                   "choose one with INSTrument:SELect\"",
                                                   twice}));
    // Served only with -s: its requests are refused alike, and neither generator receives anything.
    GeneratorBench only(sim, std::string("TPG-1"), &sim);
    ScpiSession t(only, lock);
    EXPECT_EQ(t.Receive("FREQ 2e6;*IDN?\n"), "");
    EXPECT_EQ(Errors(t), std::vector<std::string>(2, twice));
    EXPECT_EQ(t.Receive("SIM:LOG?\n"), "\"\"\n");
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

}  // namespace
}  // namespace tarvo::scpi
