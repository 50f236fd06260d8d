// The SCPI language on bytes, over the real generator bench on the simulated platform: what each message
// answers, which errors it queues, and the feature reports that reach the simulated generators, byte for byte.
#include "protocol/FeatureReport.h"
#include "scpi/device/GeneratorBench.h"
#include "scpi/language/ScpiSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::scpi {
namespace {

std::string FrequencyFrame(std::int32_t hertz) { return '"' + HexBytes(EncodeFrequencyCommand(hertz, 9)) + '"'; }
std::string AmplitudeFrame(int index) {
    return '"' + HexBytes(EncodeAmplitudeCommand(static_cast<std::int16_t>(index), 9)) + '"';
}
// The SIMulate:LOG? answer for these frames.
std::string Log(const std::vector<std::string>& frames) {
    std::string log;
    for (const std::string& f : frames) log += (log.empty() ? "" : ",") + f;
    return (log.empty() ? "\"\"" : log) + "\n";
}

// Every queued error of a session, oldest first, emptying its queue.
std::vector<std::string> Errors(ScpiSession& s) {
    std::vector<std::string> errors;
    for (int i = 0; i < 40; ++i) {
        std::string e = s.Receive("SYST:ERR?\n");
        if (e == "0,\"No error\"\n") break;
        errors.push_back(e.substr(0, e.size() - 1));
    }
    return errors;
}
std::vector<int> Codes(ScpiSession& s) {
    std::vector<int> codes;
    for (const std::string& e : Errors(s)) codes.push_back(std::stoi(e));
    return codes;
}

class Scpi : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(sim.Misuses().empty()); }

    void Plug(const std::string& serial) { ASSERT_TRUE(bench.PlugSimulated(serial)); }
    SimulatedPlatform sim;
    GeneratorBench bench{sim, std::nullopt, &sim};
};

TEST_F(Scpi, CompoundMessagesPathsAndKeywordForms) {
    Plug("TPG-1");
    ScpiSession s(bench);
    // One answer line per message with queries, joined by ';'; commands answer nothing.
    EXPECT_EQ(s.Receive("FREQ 12345678;VOLT 1.161;:FREQ?;VOLT?\r\n"), "12345678;1.161\n");
    EXPECT_EQ(s.Receive("FREQ 1E6\r\n"), "");
    // After ';' a header continues from the previous header's path; common commands keep it; ':' is the root.
    EXPECT_EQ(s.Receive("SOUR:FREQ:CW 2.5MHZ;CW?;*OPC;FIX?;:SOURce1:VOLTage:LEVel:IMMediate:AMPLitude?\n"),
              "2500000;2500000;1.161\n");
    EXPECT_EQ(s.Receive("source1:frequency:fixed 1.000000e+07;:sour:volt:ampl?;AMPL 1.000000e+00VPP\n"), "1.161\n");
    EXPECT_EQ(s.Receive("STAT:OPER:ENAB 5;ENAB?;*ESE?;PTR?\n"), "5;0;32767\n");
    // The path ends with the message; bracketed nodes may be left out.
    EXPECT_EQ(s.Receive("STAT:OPER:ENAB?\nENAB?\n"), "5\n");
    EXPECT_EQ(Codes(s), std::vector<int>{-113});
    // Empty units, a trailing ';' and blanks after ';' are allowed; a PyMeasure-style query.
    EXPECT_EQ(s.Receive(";;*OPC;; \t;\n:FREQ?;\n*IDN?;  *IDN?\n"),
              "10000000\nTarvo,Pulse Generator,TPG-1,1.00;Tarvo,Pulse Generator,TPG-1,1.00\n");
    // Short or long forms only, any case; a form in between, or a query-only header as a command, is -113.
    EXPECT_EQ(s.Receive("FrEqUeNcY?;fReQ?\nFREQU?\nSYST:VERS\nsyst:vers?\n"), "10000000;10000000\n1999.0\n");
    EXPECT_EQ(Codes(s), (std::vector<int>{-113, -113}));
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), Log({FrequencyFrame(12345678), AmplitudeFrame(360), FrequencyFrame(1000000),
                                            FrequencyFrame(2500000), FrequencyFrame(10000000), AmplitudeFrame(308)}));
}

TEST_F(Scpi, UnitsMultipliersAndLimitsReachTheGeneratorAsTheWindowsFrames) {
    Plug("TPG-1");
    ScpiSession s(bench);
    // Every accepted value is sent, every time, even when the generator has it already.
    EXPECT_EQ(s.Receive("FREQ 2.5MHZ;FREQ 25 khz;FREQ 0.35GHZ;FREQ 1.5MAHZ;FREQ 12345678.5;FREQ 1.23457e+07\n"
                        "SOUR:FREQ:CW 1.0e6Hz;\nFREQ 25000.000000\nFREQ MIN;FREQ MAX;FREQ DEF;FREQ DEF;FREQ 30K\n"),
              "");
    EXPECT_EQ(s.Receive("SIM:LOG?\n"),
              Log({FrequencyFrame(2500000), FrequencyFrame(25000), FrequencyFrame(350000000), FrequencyFrame(1500000),
                   FrequencyFrame(12345679), FrequencyFrame(12345700), FrequencyFrame(1000000), FrequencyFrame(25000),
                   FrequencyFrame(25000), FrequencyFrame(350000000), FrequencyFrame(10000000),
                   FrequencyFrame(10000000), FrequencyFrame(30000)}));
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), "\"\"\n");
    // Volts to the nearest list entry; exactly halfway between 49 and 52 mV, the lower.
    EXPECT_EQ(s.Receive("VOLT 1.161;VOLT 49 MV;VOLT 1.000000e+00VPP;VOLT 1624mV;VOLT 50.5MV;VOLT 0.0506;VOLT 1V\n"
                        "VOLT MIN;VOLT MAX;VOLT DEF\n"),
              "");
    EXPECT_EQ(s.Receive("SIM:LOG?\n"),
              Log({AmplitudeFrame(360), AmplitudeFrame(0), AmplitudeFrame(308), AmplitudeFrame(510), AmplitudeFrame(0),
                   AmplitudeFrame(1), AmplitudeFrame(308), AmplitudeFrame(0), AmplitudeFrame(510),
                   AmplitudeFrame(360)}));
    EXPECT_EQ(s.Receive("FREQ? MIN;FREQ? MAX;FREQ? DEF;VOLT? MIN;VOLT? MAX;VOLT? DEF;OUTP:LOAD? MAX\n"),
              "25000;350000000;10000000;0.049;1.624;1.161;50\n");
    // Outside the range before rounding, a wrong unit, M as milli: refused, nothing sent.
    EXPECT_EQ(s.Receive("FREQ 24999.5\nFREQ 350000000.4\nFREQ 1 V\nFREQ 25M\nVOLT 2\nVOLT 48mV\nVOLT 1 HZ\nFREQ FOO\n"
                        "VOLT -1E999999999\nFREQ 1E999999999\n"),
              "");
    EXPECT_EQ(Codes(s), (std::vector<int>{-222, -222, -131, -222, -222, -222, -131, -141, -222, -222}));
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), "\"\"\n");
    EXPECT_EQ(s.Receive("FREQ 24999.5\nSYST:ERR?\n"),
              "-222,\"Data out of range;24999.5 Hz: the pulse frequency is 25000 to 350000000 Hz\"\n");
}

TEST_F(Scpi, QueriesAnswerWhatTheGeneratorReports) {
    Plug("TPG-1");
    ScpiSession s(bench);
    // A frequency outside the range and an amplitude index the list lacks, as the generator reports them.
    sim.SetReply("TPG-1", {0, 0, 0, 0xA7, 0x61, 0, 0, 0xFF, 0x01});
    EXPECT_EQ(s.Receive("FREQ?;VOLT?;APPL?\n"), "24999;9.91E+37;\"PULS 24999,9.91E+37\"\n");
    EXPECT_EQ(Errors(s), (std::vector<std::string>{
                             "-240,\"Hardware error;the generator reports amplitude index 511, which the list of 511 lacks\"",
                             "-240,\"Hardware error;the generator reports amplitude index 511, which the list of 511 lacks\""}));
    sim.ClearReply("TPG-1");
    EXPECT_EQ(s.Receive("APPL:PULS 5 KHZ,1\nAPPL:PULS 1e6, 0.5 VPP\nAPPL?;*TST?\nAPPL:PULS 1e6,1,0\nAPPL:SIN 1e6\n"),
              "\"PULS 1000000,0.500\";0\n");
    EXPECT_EQ(Codes(s), (std::vector<int>{-222, -108, -221}));
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), Log({FrequencyFrame(1000000), AmplitudeFrame(146)}));
}

TEST_F(Scpi, ErrorClassesDecideWhatElseRuns) {
    Plug("TPG-1");
    ScpiSession s(bench);
    // A command error skips the rest of its message; an execution error does not; a failed query adds nothing.
    EXPECT_EQ(s.Receive("FOO;*OPC\n*ESR?\n"), "32\n");
    EXPECT_EQ(s.Receive("VOLT 9;*OPC;*ESR?;FREQ 1;FREQ?\n"), "17;10000000\n");
    EXPECT_EQ(Codes(s), (std::vector<int>{-113, -222, -222}));
    const struct {
        const char* message;
        const char* error;
    } cases[] = {
        {"*ESE", "-109,\"Missing parameter;*ESE\""},
        {"*IDN? 12;*OPC?", "-108,\"Parameter not allowed;*IDN? takes no parameter\""},
        {"FREQ 1e6 2", "-102,\"Syntax error;unexpected 2\""},
        {"FREQ=1e6", "-111,\"Header separator error;=1e6\""},
        {"FREQ:", "-102,\"Syntax error;a keyword is missing at the end\""},
        {"SOUR2:FREQ 1e6", "-114,\"Header suffix out of range;SOUR2:FREQ: this generator has one output, 1\""},
        {"FREQUENCYXYZW 1", "-112,\"Program mnemonic too long;FREQUENCYXYZW\""},
        {"FREQ \"1e6\"", "-104,\"Data type error;1e6: a frequency is a number, MIN, MAX or DEF\""},
        {"FREQ #12AB", "-104,\"Data type error;block data is not taken\""},
        {"*ESE 5V", "-138,\"Suffix not allowed;V\""},
        {"INST:SEL 'TPG-1", "-151,\"Invalid string data;the string has no closing quote\""},
        {"FREQ \xE9", "-101,\"Invalid character;unexpected \\xE9\""},
        {"FREQ MAXIMUMVALUEX", "-144,\"Character data too long;MAXIMUMVALUEX\""},
        {"OUTP:LOAD INF", "-224,\"Illegal parameter value;the output drives a 50 ohm load only\""},
        {"OUTP1:LOAD 75", "-224,\"Illegal parameter value;the output drives a 50 ohm load only\""},
        {"output1:state off", "-221,\"Settings conflict;the output cannot be switched off\""},
        {"OUTP 0", "-221,\"Settings conflict;the output cannot be switched off\""},
        {"FUNC SIN", "-221,\"Settings conflict;this generator makes pulses only\""},
        {"SOUR:VOLT:UNIT DBM", "-221,\"Settings conflict;amplitudes are peak-to-peak volts (VPP) only\""},
        {"*TRG", "-221,\"Settings conflict;this generator has no trigger: its pulses run continuously\""},
        {"VOLT:OFFS 0", "-113,\"Undefined header;VOLT:OFFS: this generator sets pulse frequency (FREQ) and amplitude "
                        "(VOLT) only\""},
        {"*ESE 256", "-222,\"Data out of range;*ESE takes 0 to 255\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(s.Receive(std::string(c.message) + "\n"), "") << c.message;
        EXPECT_EQ(Errors(s), std::vector<std::string>{c.error}) << c.message;
    }
    // What is accepted of the settings this generator cannot change, and what it answers for them.
    EXPECT_EQ(s.Receive("OUTP ON;OUTP1:STAT 1;:OUTP:LOAD 50;LOAD DEF;LOAD 50 OHM;:FUNC PULS;VOLT:UNIT VPP;*WAI\n"
                        "OUTP?;OUTP:LOAD?;:FUNC?;:VOLT:UNIT?;*OPT?;*OPC?;:SYST:VERS?\n"),
              "1;50;PULS;VPP;0;1;1999.0\n");
    EXPECT_EQ(Errors(s), std::vector<std::string>{});
    // The detail keeps printable ASCII only and doubles quotes; the string never passes 255 characters.
    s.Receive("\"FOO\"\nFREQ=\x7F\n" + std::string(400, 'X') + "\n");
    const std::vector<std::string> errors = Errors(s);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "-102,\"Syntax error;a keyword was expected at \"\"FOO\"\"\"");
    EXPECT_EQ(errors[1], "-111,\"Header separator error;=\\x7F\"");
    EXPECT_EQ(errors[2], "-112,\"Program mnemonic too long;" + std::string(255 - 26, 'X') + "\"");
}

TEST_F(Scpi, ErrorQueueOverflowAndStatusRegisters) {
    Plug("TPG-1");
    ScpiSession s(bench);
    for (int i = 0; i < 25; ++i) s.Receive("FOO\n");
    EXPECT_EQ(s.Receive("SYST:ERR:COUN?\n"), "20\n");
    std::vector<int> expected(19, -113);
    expected.push_back(-350);
    EXPECT_EQ(Codes(s), expected);
    EXPECT_EQ(s.Receive("SYST:ERR:NEXT?;:SYST:ERR:ALL?\n"), "0,\"No error\";0,\"No error\"\n");

    // An error sets its event bit; *STB? shows the queue (4), the enabled event (32) and the summary (64).
    EXPECT_EQ(s.Receive("*ESE 32;*SRE #HFF;FOO\n"), "");
    EXPECT_EQ(s.Receive("*STB?;*ESE?;*SRE?\n"), "100;32;191\n");
    EXPECT_EQ(s.Receive("*ESR?;*ESR?;*STB?\n"), "32;0;68\n");
    EXPECT_EQ(s.Receive("*CLS;*STB?;SYST:ERR:COUN?\n"), "0;0\n");
    // Each class its bit: command 32, execution 16, device 8 (-363).
    s.Receive("VOLT 9\n" + std::string(MAX_LINE_BYTES + 1, ' ') + "\n");
    EXPECT_EQ(s.Receive("*ESR?\n"), "24\n");
    EXPECT_EQ(s.Receive("*CLS\n"), "");

    // STATus registers: enables hold 15 bits; PRESet clears the enables and sets the transition filters, but
    // leaves events and the queue; *RST and *CLS leave the enables.
    EXPECT_EQ(s.Receive("STAT:QUES:ENAB 65535;ENAB?;:STAT:OPER:NTR 7;NTR?;PTR 0;PTR?;EVEN?;COND?\n"),
              "32767;7;0;0;0\n");
    EXPECT_EQ(s.Receive("*ESE 4;*SRE 16;FOO\n"), "");
    EXPECT_EQ(s.Receive("STAT:PRES;*RST;*CLS;:STAT:QUES:ENAB?;:STAT:OPER:PTR?;NTR?;ENAB?;:STAT:QUES?;*ESE?;*SRE?\n"),
              "0;32767;0;0;0;4;16\n");
    EXPECT_EQ(s.Receive("FOO\nSTAT:PRES;:SYST:ERR:COUN?;*ESR?\n"), "1;32\n");
}

TEST_F(Scpi, SplitAndMergedInputAndTheLineBound) {
    Plug("TPG-1");
    const std::string bytes = "FREQ 12345678\r\nFREQ?\r\n*IDN?\rVOLT?\r\r\n\n";
    const std::string whole = "12345678\nTarvo,Pulse Generator,TPG-1,1.00\n1.161\n";
    ScpiSession merged(bench);
    EXPECT_EQ(merged.Receive(bytes + bytes), whole + whole);
    ScpiSession split(bench);
    std::string answers;
    for (const char c : bytes) answers += split.Receive(std::string_view(&c, 1));
    EXPECT_EQ(answers, whole);
    // An unterminated message waits; it runs when its terminator comes.
    EXPECT_EQ(split.Receive("FREQ?"), "");
    EXPECT_EQ(split.Receive("\n"), "12345678\n");

    // A line over the bound: one -363, none of it runs, the session goes on with the next line. A line of
    // exactly the bound runs.
    ScpiSession s(bench);
    s.Receive("SIM:LOG?\n");
    std::string longLine;
    while (longLine.size() < 3 * MAX_LINE_BYTES) longLine += "FREQ 1e6;";
    for (std::size_t at = 0; at < longLine.size(); at += 1000) EXPECT_EQ(s.Receive(longLine.substr(at, 1000)), "");
    EXPECT_EQ(s.Receive("\r\nFREQ?\n"), "12345678\n");
    EXPECT_EQ(Errors(s),
              std::vector<std::string>{"-363,\"Input buffer overrun;a message longer than 8192 bytes is dropped whole\""});
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), "\"\"\n");
    std::string exact = "FREQ?";
    exact.resize(MAX_LINE_BYTES, ' ');
    EXPECT_EQ(s.Receive(exact + "\n"), "12345678\n");
    EXPECT_EQ(s.Receive(exact + " \n"), "");
    EXPECT_EQ(Codes(s), std::vector<int>{-363});
}

TEST_F(Scpi, UnplugGivesHardwareMissingAndReplugWorksWithoutReconnecting) {
    Plug("TPG-1");
    ScpiSession s(bench);
    std::vector<std::string> logged;
    s.log = [&logged](const std::string& line) { logged.push_back(line); };
    EXPECT_EQ(s.Receive("FREQ 1e6;FREQ?\n"), "1000000\n");
    EXPECT_EQ(s.Receive("SIM:UNPL;:FREQ 2e6;FREQ?\n"), "");
    EXPECT_EQ(Errors(s), (std::vector<std::string>{"-241,\"Hardware missing;generator TPG-1 is not attached\"",
                                                   "-241,\"Hardware missing;generator TPG-1 is not attached\""}));
    EXPECT_EQ(logged.front(), "message: FREQ 1e6;FREQ?");
    EXPECT_EQ(logged[2], "error: -241,\"Hardware missing;generator TPG-1 is not attached\"");
    // Plugged in again (a fresh generator at its defaults): the next command works on the same connection.
    EXPECT_EQ(s.Receive("SIM:PLUG \"TPG-1\";:FREQ 3e6;FREQ?\n"), "3000000\n");
    // Unplugged and plugged between two commands, with the old handles gone stale: the first command works.
    EXPECT_EQ(s.Receive("SIM:UNPL \"TPG-1\";PLUG \"TPG-1\"\nFREQ 4e6;FREQ?;*IDN?\n"),
              "4000000;Tarvo,Pulse Generator,TPG-1,1.00\n");
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), Log({FrequencyFrame(1000000), FrequencyFrame(3000000), FrequencyFrame(4000000)}));
    EXPECT_EQ(Errors(s), std::vector<std::string>{});
    // A generator that fails requests while listed: -240, after one fresh try.
    sim.Fail("TPG-1", SimOp::SetFeature);
    sim.Fail("TPG-1", SimOp::GetFeature);
    EXPECT_EQ(s.Receive("FREQ 5e6;*RST;*TST?;FREQ?\n"), "1\n");
    EXPECT_EQ(Errors(s), std::vector<std::string>(4, "-240,\"Hardware error;generator TPG-1 failed the request\""));
    sim.Heal("TPG-1", SimOp::SetFeature);
    sim.Heal("TPG-1", SimOp::GetFeature);
    // *RST: the 10 MHz frame, then the 1161 mV frame once.
    EXPECT_EQ(s.Receive("FREQ 5e6;*RST;*TST?\n"), "0\n");
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), Log({FrequencyFrame(5000000), FrequencyFrame(10000000), AmplitudeFrame(360)}));
    bench.CloseAll();
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

TEST_F(Scpi, AHandleThatReadsAShortFeatureReportIsNotKeptPastItsRequest) {
    // Opened while it was being removed, a generator reads a feature report of 0 bytes; once it is plugged in
    // again, the next command reaches it.
    SimDeviceConfig removing;
    removing.name = "TPG-1";
    removing.serial = u"TPG-1";
    removing.featureLength = 0;
    ASSERT_TRUE(sim.Plug(removing));
    ScpiSession s(bench);
    EXPECT_EQ(s.Receive("FREQ 2e6\n"), "");
    EXPECT_EQ(Errors(s), std::vector<std::string>{
                             "-240,\"Hardware error;generator TPG-1 has a feature report of 0 bytes, too short for the request\""});
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    ASSERT_TRUE(sim.Unplug("TPG-1"));
    Plug("TPG-1");
    EXPECT_EQ(s.Receive("FREQ 3e6;FREQ?\n"), "3000000\n");
    EXPECT_EQ(Errors(s), std::vector<std::string>{});
    EXPECT_EQ(s.Receive("SIM:LOG?\n"), Log({FrequencyFrame(3000000)}));
    bench.CloseAll();
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

TEST_F(Scpi, EachSessionHasItsOwnQueueAndGenerator) {
    ScpiSession a(bench), b(bench);
    // No generator: device commands and *IDN? fail, adding no answer, and say why.
    EXPECT_EQ(a.Receive("FREQ 1e6;*IDN?;INST:CAT?;:INST?\n"), "\"\";\"\"\n");
    EXPECT_EQ(Codes(a), (std::vector<int>{-241, -241}));
    Plug("TPG-1");
    Plug("TPG-2");
    EXPECT_EQ(a.Receive("FREQ 1e6;INST:CAT?\n"), "\"TPG-1\",\"TPG-2\"\n");
    EXPECT_EQ(Errors(a), std::vector<std::string>{"-221,\"Settings conflict;2 generators are attached (TPG-1, TPG-2): "
                                                  "choose one with INSTrument:SELect\""});
    EXPECT_EQ(a.Receive("INST:SEL \"TPG-2\";SEL?;:FREQ 2e6;SIM:LOG?\n"), "\"TPG-2\";" + Log({FrequencyFrame(2000000)}));
    EXPECT_EQ(b.Receive("INST \"TPG-3\";INST?\nSYST:ERR?\n"),
              "\"\"\n-224,\"Illegal parameter value;no generator TPG-3 is attached\"\n");
    EXPECT_EQ(b.Receive("inst:select 'TPG-1';:FREQ 1e6;:SIM:LOG?\n"), Log({FrequencyFrame(1000000)}));
    // Each keeps its own queue and registers.
    EXPECT_EQ(a.Receive("FOO;*ESE 1\n"), "");
    EXPECT_EQ(b.Receive("SYST:ERR:COUN?;*ESR?;*ESE?\n"), "0;16;0\n");
    EXPECT_EQ(a.Receive("SYST:ERR:COUN?;*ESR?\n"), "1;48\n");
    // Unplugged generators stay chosen; another session may plug a new one.
    EXPECT_EQ(b.Receive("SIM:UNPL;PLUG \"TPG-1\";PLUG \"TPG-1\";UNPL \"TPG-9\"\n"), "");
    EXPECT_EQ(Codes(b), (std::vector<int>{-221, -224}));
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
    ScpiSession s(bench);
    EXPECT_EQ(s.Receive("*IDN?;INST:CAT?;:INST?\n"), "Tarvo,0,TPG-2,1.00;\"TPG-2\";\"TPG-2\"\n");
    EXPECT_EQ(s.Receive("INST:SEL \"TPG-1\";:SIM:PLUG \"X\";:FREQ 1e6\n"), "");
    EXPECT_EQ(Errors(s), (std::vector<std::string>{
                             "-224,\"Illegal parameter value;this server serves generator TPG-2 only\"",
                             "-113,\"Undefined header;:SIM:PLUG: the SIMulate commands work only with --simulate\""}));
    EXPECT_EQ(s.Receive("FREQ 1e6;FREQ?\n"), "1000000\n");
    EXPECT_TRUE(sim.Misuses().empty());
}

}  // namespace
}  // namespace tarvo::scpi
