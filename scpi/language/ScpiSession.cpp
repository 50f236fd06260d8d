#include "ScpiSession.h"

#include "ErrorQueue.h"
#include "ScpiSyntax.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

namespace tarvo::scpi {
namespace {

constexpr std::size_t MAX_LOGGED_MESSAGE = 200;  // characters of a message a -v log line shows
constexpr std::size_t MAX_SERIAL = 50;           // the longest serial number the window's string read returns
constexpr const char* NOT_A_NUMBER = "9.91E+37";  // SCPI's not-a-number
// MIN, MAX and DEF, and what they stand for in frequency and amplitude.
constexpr const char* LIMIT_WORDS[] = {"MINimum", "MAXimum", "DEFault"};
constexpr std::array<std::int32_t, 3> FREQUENCY_LIMITS = {FOUT_MIN_HZ, FOUT_MAX_HZ, FOUT_DEFAULT_HZ};
constexpr std::array<int, 3> AMPLITUDE_LIMITS = {0, VOUT_ENTRY_COUNT - 1, VOUT_DEFAULT_INDEX};
constexpr const char* WHAT_IT_DOES = "this generator sets pulse frequency (FREQ) and amplitude (VOLT) only";

// IEEE 488.2 event status register bits.
constexpr std::uint8_t ESR_OPC = 0x01, ESR_QYE = 0x04, ESR_DDE = 0x08, ESR_EXE = 0x10, ESR_CME = 0x20;
// Status byte bits.
constexpr std::uint8_t STB_EAV = 0x04, STB_QUES = 0x08, STB_ESB = 0x20, STB_MSS = 0x40, STB_OPER = 0x80;
// SCPI's 16-bit status registers never use bit 15.
constexpr std::uint16_t REGISTER_BITS = 0x7FFF;

// A SCPI status register (STATus:OPERation, STATus:QUEStionable). Nothing in this generator sets a condition,
// so the event register only ever holds what the standard's commands leave in it.
struct StatusRegister {
    std::uint16_t condition = 0;
    std::uint16_t event = 0;
    std::uint16_t enable = 0;
    std::uint16_t positive = REGISTER_BITS;  // PTRansition
    std::uint16_t negative = 0;              // NTRansition
};

// A message as a log line shows it: at most `limit` characters, see ShownByte.
std::string Printable(std::string_view text, std::size_t limit) {
    std::string shown;
    for (const char c : text) {
        if (shown.size() >= limit) return shown + "...";
        shown += ShownByte(c);
    }
    return shown;
}

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        quoted.push_back(c);
        if (c == '"') quoted.push_back('"');
    }
    return quoted + '"';
}

// A list of strings as SCPI string data separated by commas; "" for none.
std::string QuotedList(const std::vector<std::string>& items) {
    if (items.empty()) return "\"\"";
    std::string list;
    for (const std::string& item : items) {
        if (!list.empty()) list += ',';
        list += Quoted(item);
    }
    return list;
}

// Millivolts as volts with three decimals (1161 -> 1.161).
std::string VoltsText(int millivolts) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%03d", millivolts / 1000, millivolts % 1000);
    return text;
}

std::string NumberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// A field of the *IDN? answer: printable ASCII without commas and semicolons, without blanks around; 0 when
// nothing is left.
std::string IdentityField(const std::optional<std::string>& text) {
    std::string field;
    if (text)
        for (const char c : *text)
            if (c >= 0x20 && c <= 0x7E && c != ',' && c != ';') field.push_back(c);
    const auto first = field.find_first_not_of(' ');
    if (first == std::string::npos) return "0";
    return field.substr(first, field.find_last_not_of(' ') - first + 1);
}

bool IsSerialText(std::string_view text) {
    if (text.empty() || text.size() > MAX_SERIAL) return false;
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

class ScpiSession::Impl {
public:
    using Answer = std::optional<std::string>;
    using Handler = Answer (*)(Impl&, const ProgramUnit&);

    Impl(ScpiSession& owner, GeneratorBench& bench) : owner_(owner), bench_(bench) {}

    std::string Receive(std::string_view bytes);

private:
    struct Node {
        std::vector<std::string> spellings;  // alternatives, short form in capitals
        bool optional = false;
        bool suffix = false;  // takes a numeric suffix (only 1 exists)
    };
    struct Command {
        bool common = false;
        std::string name;         // common commands: the name after '*', upper case
        std::vector<Node> nodes;  // compound commands
        bool query = false;
        Handler run = nullptr;
    };
    static Command Make(std::string_view pattern, bool query, Handler run);
    static const std::vector<Command>& Commands();
    static bool Matches(const std::vector<Node>& nodes, std::size_t n, const std::vector<Mnemonic>& words,
                        std::size_t w);

    void TakeBytes(std::string_view piece);
    void EndLine(std::string& out);
    void RunMessage(std::string_view message, std::string& out);
    void RunUnit(const ProgramUnit& unit, std::vector<std::string>& answers);
    void Log(const std::string& line) const {
        if (owner_.log) owner_.log(line);
    }

    // Queues an error, sets its event status bit and, for a command error, ends the message.
    void Queue(int code, std::string_view detail);
    std::uint8_t StatusByte() const;

    // Parameter checks: each queues the error and returns nothing (or false) when the parameters do not fit.
    bool ParameterCount(const ProgramUnit& u, std::size_t least, std::size_t most);
    std::optional<unsigned> Integer(const ProgramUnit& u, unsigned most);
    // A number in the command's unit (see SuffixExponent), or MIN, MAX or DEF (limit 0, 1, 2).
    struct Quantity {
        int limit = -1;
        double value = 0;
    };
    std::optional<Quantity> NumberOrLimit(const Parameter& p, std::string_view what, std::initializer_list<UnitWord> units,
                                          std::string_view unitNames);
    std::optional<std::int32_t> Frequency(const Parameter& p);
    std::optional<int> AmplitudeIndex(const Parameter& p);
    std::optional<std::string> Serial(const Parameter& p);
    // MIN, MAX or DEF as a query's optional parameter: 0, 1, 2; -1 when there is none; nothing on an error.
    std::optional<int> LimitWord(const ProgramUnit& u);

    // The session's generator: kept once chosen; with -s that one; otherwise the only one attached.
    std::optional<std::string> Generator();
    bool Device(const std::string& serial, const GeneratorBench::Request& request);
    std::optional<DeviceStatus> Status();
    // The amplitude the status report gives, in volts; NaN and a -240 for an index the list lacks.
    std::string StatusVolts(const DeviceStatus& status);

    Answer SetFrequency(const ProgramUnit& u);
    Answer QueryFrequency(const ProgramUnit& u);
    Answer SetAmplitude(const ProgramUnit& u);
    Answer QueryAmplitude(const ProgramUnit& u);
    Answer ApplyPulse(const ProgramUnit& u);
    Answer Identify();
    Answer Reset();
    Answer SelfTest();
    Answer SelectInstrument(const ProgramUnit& u);
    Answer Simulate(const ProgramUnit& u, bool plug);
    Answer SimulationLog();
    // Accepts the one setting this generator has (`accepted`, a word or, for booleans, a number) and refuses
    // any other with -221 and the detail.
    Answer OnlySetting(const ProgramUnit& u, std::string_view accepted, std::string_view refusal);
    Answer Load(const ProgramUnit& u);
    // The STATus register the running header names, and one of its fields.
    StatusRegister& Register();
    Answer Field(const ProgramUnit& u, std::uint16_t StatusRegister::*field);
    Answer SetField(const ProgramUnit& u, std::uint16_t StatusRegister::*field);
    Answer ReadEvent(StatusRegister& r);

    bool SimulationCommand(const ProgramUnit& u);

    ScpiSession& owner_;
    GeneratorBench& bench_;
    std::string line_;      // the message being received, at most MAX_LINE_BYTES
    bool overrun_ = false;  // the line passed MAX_LINE_BYTES: the rest of it is dropped
    std::vector<Mnemonic> path_;
    std::vector<Mnemonic> words_;  // the running compound header, from the root
    bool commandError_ = false;
    ErrorQueue errors_;
    std::uint8_t esr_ = 0, ese_ = 0, sre_ = 0;
    StatusRegister operation_, questionable_;
    std::optional<std::string> serial_;
};

// ---- Receiving ----

std::string ScpiSession::Impl::Receive(std::string_view bytes) {
    std::string out;
    try {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t end = bytes.find_first_of("\r\n", at);
            TakeBytes(bytes.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
            if (end == std::string_view::npos) break;
            EndLine(out);
            at = end + 1;
        }
    } catch (const std::exception&) {
        // Out of memory: the message in hand is dropped, what was answered is kept.
        line_.clear();
        overrun_ = false;
    }
    return out;
}

void ScpiSession::Impl::TakeBytes(std::string_view piece) {
    if (overrun_ || piece.empty()) return;
    if (line_.size() + piece.size() > MAX_LINE_BYTES) {
        overrun_ = true;
        line_.clear();
        Queue(error::INPUT_BUFFER_OVERRUN,
              "a message longer than " + std::to_string(MAX_LINE_BYTES) + " bytes is dropped whole");
        return;
    }
    line_.append(piece);
}

// A terminator (LF or CR): the message in hand runs, unless it overran. A CR LF pair ends one message and an
// empty one, which does nothing.
void ScpiSession::Impl::EndLine(std::string& out) {
    if (overrun_) {
        overrun_ = false;
        return;
    }
    RunMessage(line_, out);
    line_.clear();
}

void ScpiSession::Impl::RunMessage(std::string_view message, std::string& out) {
    if (message.find_first_not_of(" \t") == std::string_view::npos) return;
    Log("message: " + Printable(message, MAX_LOGGED_MESSAGE));
    path_.clear();
    commandError_ = false;
    std::vector<std::string> answers;
    std::size_t pos = 0;
    while (pos < message.size() && !commandError_) {
        UnitReading reading = ReadUnit(message, pos);
        if (reading.error.code != 0) {
            Queue(reading.error.code, reading.error.detail);
            break;
        }
        if (!reading.unit.header.empty()) RunUnit(reading.unit, answers);
    }
    path_.clear();
    if (answers.empty()) return;
    std::string response;
    for (const std::string& answer : answers) response += (response.empty() ? "" : ";") + answer;
    out += response;
    out += '\n';
}

// ---- The command tree ----

// A pattern is keywords separated by ':', each with its short form in capitals; [ ] marks an optional keyword,
// | separates alternatives, # a numeric suffix. "*NAME" is a common command.
ScpiSession::Impl::Command ScpiSession::Impl::Make(std::string_view pattern, bool query, Handler run) {
    Command c;
    c.query = query;
    c.run = run;
    if (pattern.front() == '*') {
        c.common = true;
        c.name = std::string(pattern.substr(1));
        return c;
    }
    while (!pattern.empty()) {
        const std::size_t colon = pattern.find(':');
        std::string_view element = pattern.substr(0, colon);
        pattern = colon == std::string_view::npos ? std::string_view() : pattern.substr(colon + 1);
        Node node;
        if (element.front() == '[') {
            node.optional = true;
            element = element.substr(1, element.size() - 2);
        }
        if (element.back() == '#') {
            node.suffix = true;
            element.remove_suffix(1);
        }
        while (!element.empty()) {
            const std::size_t bar = element.find('|');
            node.spellings.emplace_back(element.substr(0, bar));
            element = bar == std::string_view::npos ? std::string_view() : element.substr(bar + 1);
        }
        c.nodes.push_back(std::move(node));
    }
    return c;
}

bool ScpiSession::Impl::Matches(const std::vector<Node>& nodes, std::size_t n, const std::vector<Mnemonic>& words,
                                std::size_t w) {
    if (n == nodes.size()) return w == words.size();
    const Node& node = nodes[n];
    if (w < words.size() && (words[w].suffix < 0 || node.suffix))
        for (const std::string& spelling : node.spellings)
            if (KeywordMatches(words[w].name, spelling) && Matches(nodes, n + 1, words, w + 1)) return true;
    return node.optional && Matches(nodes, n + 1, words, w);
}

const std::vector<ScpiSession::Impl::Command>& ScpiSession::Impl::Commands() {
    using U = const ProgramUnit&;
    static const std::vector<Command> commands = {
        // IEEE 488.2 common commands.
        Make("*CLS", false, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            s.errors_.Clear();
            s.esr_ = 0;
            s.operation_.event = s.questionable_.event = 0;
            return {};
        }),
        Make("*ESE", false, [](Impl& s, U u) -> Answer {
            if (const auto v = s.Integer(u, 255)) s.ese_ = static_cast<std::uint8_t>(*v);
            return {};
        }),
        Make("*ESE", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            return std::to_string(s.ese_);
        }),
        Make("*ESR", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            const std::uint8_t esr = s.esr_;
            s.esr_ = 0;
            return std::to_string(esr);
        }),
        Make("*IDN", true, [](Impl& s, U u) -> Answer { return s.ParameterCount(u, 0, 0) ? s.Identify() : Answer(); }),
        Make("*OPC", false, [](Impl& s, U u) -> Answer {
            // Every command has finished when the next one starts.
            if (s.ParameterCount(u, 0, 0)) s.esr_ |= ESR_OPC;
            return {};
        }),
        Make("*OPC", true, [](Impl& s, U u) -> Answer { return s.ParameterCount(u, 0, 0) ? Answer("1") : Answer(); }),
        Make("*OPT", true, [](Impl& s, U u) -> Answer { return s.ParameterCount(u, 0, 0) ? Answer("0") : Answer(); }),
        Make("*RST", false, [](Impl& s, U u) -> Answer { return s.ParameterCount(u, 0, 0) ? s.Reset() : Answer(); }),
        Make("*SRE", false, [](Impl& s, U u) -> Answer {
            if (const auto v = s.Integer(u, 255)) s.sre_ = static_cast<std::uint8_t>(*v & ~STB_MSS);
            return {};
        }),
        Make("*SRE", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            return std::to_string(s.sre_);
        }),
        Make("*STB", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            return std::to_string(s.StatusByte());
        }),
        Make("*TST", true, [](Impl& s, U u) -> Answer { return s.ParameterCount(u, 0, 0) ? s.SelfTest() : Answer(); }),
        Make("*WAI", false, [](Impl& s, U u) -> Answer {
            s.ParameterCount(u, 0, 0);
            return {};
        }),
        Make("*TRG", false, [](Impl& s, U) -> Answer {
            s.Queue(error::SETTINGS_CONFLICT, "this generator has no trigger: its pulses run continuously");
            return {};
        }),

        // The generator's settings.
        Make("[SOURce#]:FREQuency:[CW|FIXed]", false, [](Impl& s, U u) { return s.SetFrequency(u); }),
        Make("[SOURce#]:FREQuency:[CW|FIXed]", true, [](Impl& s, U u) { return s.QueryFrequency(u); }),
        Make("[SOURce#]:VOLTage:[LEVel]:[IMMediate]:[AMPLitude]", false, [](Impl& s, U u) { return s.SetAmplitude(u); }),
        Make("[SOURce#]:VOLTage:[LEVel]:[IMMediate]:[AMPLitude]", true, [](Impl& s, U u) { return s.QueryAmplitude(u); }),
        Make("[SOURce#]:VOLTage:UNIT", false, [](Impl& s, U u) {
            return s.OnlySetting(u, "VPP", "amplitudes are peak-to-peak volts (VPP) only");
        }),
        Make("[SOURce#]:VOLTage:UNIT", true, [](Impl& s, U u) { return s.ParameterCount(u, 0, 0) ? Answer("VPP") : Answer(); }),
        Make("[SOURce#]:FUNCtion:[SHAPe]", false, [](Impl& s, U u) {
            return s.OnlySetting(u, "PULSe", "this generator makes pulses only");
        }),
        Make("[SOURce#]:FUNCtion:[SHAPe]", true, [](Impl& s, U u) { return s.ParameterCount(u, 0, 0) ? Answer("PULS") : Answer(); }),
        Make("OUTPut#:[STATe]", false, [](Impl& s, U u) {
            return s.OnlySetting(u, "ON", "the output cannot be switched off");
        }),
        Make("OUTPut#:[STATe]", true, [](Impl& s, U u) { return s.ParameterCount(u, 0, 0) ? Answer("1") : Answer(); }),
        Make("OUTPut#:LOAD", false, [](Impl& s, U u) { return s.Load(u); }),
        Make("OUTPut#:LOAD", true, [](Impl& s, U u) { return s.LimitWord(u) ? Answer("50") : Answer(); }),
        Make("APPLy:PULSe", false, [](Impl& s, U u) { return s.ApplyPulse(u); }),
        Make("APPLy:SINusoid|SQUare|RAMP|TRIangle|NOISe|DC|USER|PRBS|ARBitrary", false, [](Impl& s, U) -> Answer {
            s.Queue(error::SETTINGS_CONFLICT, "this generator makes pulses only (APPLy:PULSe)");
            return {};
        }),
        Make("APPLy", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            const auto status = s.Status();
            if (!status) return {};
            return Quoted("PULS " + std::to_string(status->reportedFrequencyHz) + "," + s.StatusVolts(*status));
        }),

        // SCPI's required commands.
        Make("SYSTem:ERRor:[NEXT]", true, [](Impl& s, U u) { return s.ParameterCount(u, 0, 0) ? Answer(s.errors_.Pop()) : Answer(); }),
        Make("SYSTem:ERRor:COUNt", true, [](Impl& s, U u) {
            return s.ParameterCount(u, 0, 0) ? Answer(std::to_string(s.errors_.Count())) : Answer();
        }),
        Make("SYSTem:ERRor:ALL", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            std::string all = s.errors_.Pop();
            while (!s.errors_.Empty()) all.append(",").append(s.errors_.Pop());
            return all;
        }),
        Make("SYSTem:VERSion", true, [](Impl& s, U u) { return s.ParameterCount(u, 0, 0) ? Answer("1999.0") : Answer(); }),
        Make("STATus:OPERation|QUEStionable:[EVENt]", true, [](Impl& s, U u) {
            return s.ParameterCount(u, 0, 0) ? s.ReadEvent(s.Register()) : Answer();
        }),
        Make("STATus:OPERation|QUEStionable:CONDition", true, [](Impl& s, U u) { return s.Field(u, &StatusRegister::condition); }),
        Make("STATus:OPERation|QUEStionable:ENABle", true, [](Impl& s, U u) { return s.Field(u, &StatusRegister::enable); }),
        Make("STATus:OPERation|QUEStionable:ENABle", false, [](Impl& s, U u) { return s.SetField(u, &StatusRegister::enable); }),
        Make("STATus:OPERation|QUEStionable:PTRansition", true, [](Impl& s, U u) { return s.Field(u, &StatusRegister::positive); }),
        Make("STATus:OPERation|QUEStionable:PTRansition", false, [](Impl& s, U u) { return s.SetField(u, &StatusRegister::positive); }),
        Make("STATus:OPERation|QUEStionable:NTRansition", true, [](Impl& s, U u) { return s.Field(u, &StatusRegister::negative); }),
        Make("STATus:OPERation|QUEStionable:NTRansition", false, [](Impl& s, U u) { return s.SetField(u, &StatusRegister::negative); }),
        Make("STATus:PRESet", false, [](Impl& s, U u) -> Answer {
            // Enables off, every rising transition passed, no falling one; events and the queue stay.
            if (!s.ParameterCount(u, 0, 0)) return {};
            for (StatusRegister* r : {&s.operation_, &s.questionable_}) {
                r->enable = 0;
                r->positive = REGISTER_BITS;
                r->negative = 0;
            }
            return {};
        }),

        // Which generator this session works with.
        Make("INSTrument:[SELect]", false, [](Impl& s, U u) { return s.SelectInstrument(u); }),
        Make("INSTrument:[SELect]", true, [](Impl& s, U u) -> Answer {
            if (!s.ParameterCount(u, 0, 0)) return {};
            return Quoted(s.serial_ ? *s.serial_ : s.bench_.Only().value_or(""));
        }),
        Make("INSTrument:CATalog", true, [](Impl& s, U u) {
            return s.ParameterCount(u, 0, 0) ? Answer(QuotedList(s.bench_.Catalog())) : Answer();
        }),

        // --simulate only.
        Make("SIMulate:PLUG", false, [](Impl& s, U u) { return s.Simulate(u, true); }),
        Make("SIMulate:UNPLug", false, [](Impl& s, U u) { return s.Simulate(u, false); }),
        Make("SIMulate:LOG", true, [](Impl& s, U u) {
            return s.SimulationCommand(u) && s.ParameterCount(u, 0, 0) ? s.SimulationLog() : Answer();
        }),
    };
    return commands;
}

void ScpiSession::Impl::RunUnit(const ProgramUnit& unit, std::vector<std::string>& answers) {
    std::vector<Mnemonic>& words = words_;
    words.clear();
    if (!unit.common) {
        if (!unit.rooted) words = path_;
        words.insert(words.end(), unit.mnemonics.begin(), unit.mnemonics.end());
    }
    const Command* found = nullptr;
    for (const Command& c : Commands()) {
        if (c.query != unit.query || c.common != unit.common) continue;
        if (c.common ? KeywordMatches(unit.mnemonics.front().name, c.name) && unit.mnemonics.front().suffix < 0
                     : Matches(c.nodes, 0, words, 0)) {
            found = &c;
            break;
        }
    }
    if (!found) {
        Queue(error::UNDEFINED_HEADER, unit.header + (unit.common ? "" : std::string(": ") + WHAT_IT_DOES));
        return;
    }
    if (!unit.common) {
        // The next header without a leading ':' continues from this one's path.
        path_.assign(words.begin(), words.end() - 1);
        for (const Mnemonic& w : words)
            if (w.suffix >= 0 && w.suffix != 1)
                return Queue(error::HEADER_SUFFIX_OUT_OF_RANGE, unit.header + ": this generator has one output, 1");
    }
    if (Answer answer = found->run(*this, unit)) answers.push_back(std::move(*answer));
}

// ---- Errors and status ----

void ScpiSession::Impl::Queue(int code, std::string_view detail) {
    errors_.Push(code, detail);
    if (code <= -100 && code > -200) {
        esr_ |= ESR_CME;
        commandError_ = true;
    } else if (code <= -200 && code > -300) {
        esr_ |= ESR_EXE;
    } else if (code <= -400 && code > -500) {
        esr_ |= ESR_QYE;
    } else {
        esr_ |= ESR_DDE;
    }
    Log("error: " + FormatError(code, detail));
}

std::uint8_t ScpiSession::Impl::StatusByte() const {
    // MAV stays 0: an answer leaves as soon as its message has run, before another query could see it waiting.
    std::uint8_t stb = 0;
    if (!errors_.Empty()) stb |= STB_EAV;
    if (questionable_.event & questionable_.enable) stb |= STB_QUES;
    if (esr_ & ese_) stb |= STB_ESB;
    if (operation_.event & operation_.enable) stb |= STB_OPER;
    if (stb & sre_) stb |= STB_MSS;
    return stb;
}

ScpiSession::Impl::Answer ScpiSession::Impl::ReadEvent(StatusRegister& r) {
    const std::uint16_t event = r.event;
    r.event = 0;
    return std::to_string(event);
}

StatusRegister& ScpiSession::Impl::Register() {
    return KeywordMatches(words_.at(1).name, "OPERation") ? operation_ : questionable_;
}

ScpiSession::Impl::Answer ScpiSession::Impl::Field(const ProgramUnit& u, std::uint16_t StatusRegister::*field) {
    if (!ParameterCount(u, 0, 0)) return {};
    return std::to_string(Register().*field);
}

ScpiSession::Impl::Answer ScpiSession::Impl::SetField(const ProgramUnit& u, std::uint16_t StatusRegister::*field) {
    if (const auto v = Integer(u, 65535)) Register().*field = static_cast<std::uint16_t>(*v & REGISTER_BITS);
    return {};
}

// ---- Parameters ----

bool ScpiSession::Impl::ParameterCount(const ProgramUnit& u, std::size_t least, std::size_t most) {
    if (u.parameters.size() < least) {
        Queue(error::MISSING_PARAMETER, u.header);
        return false;
    }
    if (u.parameters.size() > most) {
        Queue(error::PARAMETER_NOT_ALLOWED,
              u.header + (most == 0 ? " takes no parameter" : " takes at most " + std::to_string(most)));
        return false;
    }
    return true;
}

std::optional<unsigned> ScpiSession::Impl::Integer(const ProgramUnit& u, unsigned most) {
    if (!ParameterCount(u, 1, 1)) return std::nullopt;
    const Parameter& p = u.parameters.front();
    if (p.kind != Parameter::Kind::Number) {
        Queue(error::DATA_TYPE, u.header + " takes a number");
        return std::nullopt;
    }
    if (!p.suffix.empty()) {
        Queue(error::SUFFIX_NOT_ALLOWED, p.suffix);
        return std::nullopt;
    }
    const double value = RoundHalfUp(ScaledValue(p, 0));
    if (!(value >= 0 && value <= most)) {
        Queue(error::DATA_OUT_OF_RANGE, u.header + " takes 0 to " + std::to_string(most));
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

std::optional<ScpiSession::Impl::Quantity> ScpiSession::Impl::NumberOrLimit(const Parameter& p, std::string_view what,
                                                                            std::initializer_list<UnitWord> units,
                                                                            std::string_view unitNames) {
    for (int limit = 0; limit < 3; ++limit)
        if (IsWord(p, LIMIT_WORDS[limit])) return Quantity{limit, 0};
    if (p.kind != Parameter::Kind::Number) {
        Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
              p.text + (p.text.empty() ? "" : ": ") + std::string(what) + " is a number, MIN, MAX or DEF");
        return std::nullopt;
    }
    const auto exponent = SuffixExponent(p.suffix, units);
    if (!exponent) {
        Queue(error::INVALID_SUFFIX, p.suffix + ": " + std::string(unitNames));
        return std::nullopt;
    }
    return Quantity{-1, ScaledValue(p, *exponent)};
}

std::optional<std::int32_t> ScpiSession::Impl::Frequency(const Parameter& p) {
    const auto q = NumberOrLimit(p, "a frequency", {{"HZ", 0}, {"MHZ", 6}}, "frequency units are HZ, KHZ, MHZ (or MAHZ) and GHZ");
    if (!q) return std::nullopt;
    if (q->limit >= 0) return FREQUENCY_LIMITS[q->limit];
    const FrequencyCheck check = CheckFrequencyValue(q->value);
    if (check.verdict != FrequencyVerdict::Accepted) {
        Queue(error::DATA_OUT_OF_RANGE, NumberText(q->value) + " Hz: the pulse frequency is " +
                                            std::to_string(FOUT_MIN_HZ) + " to " + std::to_string(FOUT_MAX_HZ) + " Hz");
        return std::nullopt;
    }
    return check.hertz;
}

std::optional<int> ScpiSession::Impl::AmplitudeIndex(const Parameter& p) {
    // Worked out in millivolts, the unit of the list.
    const auto q = NumberOrLimit(p, "an amplitude", {{"V", 3}, {"VPP", 3}}, "amplitude units are V, MV and VPP");
    if (!q) return std::nullopt;
    if (q->limit >= 0) return AMPLITUDE_LIMITS[q->limit];
    const int lowest = AmplitudeMillivolts(0), highest = AmplitudeMillivolts(VOUT_ENTRY_COUNT - 1);
    if (!(q->value >= lowest && q->value <= highest)) {
        Queue(error::DATA_OUT_OF_RANGE, NumberText(q->value / 1000) + " V: the amplitude is " + VoltsText(lowest) +
                                            " to " + VoltsText(highest) + " V");
        return std::nullopt;
    }
    return NearestAmplitudeIndex(q->value);
}

std::optional<std::string> ScpiSession::Impl::Serial(const Parameter& p) {
    if (p.kind != Parameter::Kind::String) {
        Queue(error::DATA_TYPE, "a serial number is a quoted string");
        return std::nullopt;
    }
    if (!IsSerialText(p.text)) {
        Queue(error::ILLEGAL_PARAMETER_VALUE, "a serial number is 1 to 50 printable characters");
        return std::nullopt;
    }
    return p.text;
}

std::optional<int> ScpiSession::Impl::LimitWord(const ProgramUnit& u) {
    if (!ParameterCount(u, 0, 1)) return std::nullopt;
    if (u.parameters.empty()) return -1;
    const Parameter& p = u.parameters.front();
    for (int limit = 0; limit < 3; ++limit)
        if (IsWord(p, LIMIT_WORDS[limit])) return limit;
    Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
          u.header + " takes MIN, MAX or DEF");
    return std::nullopt;
}

// ---- The generator ----

std::optional<std::string> ScpiSession::Impl::Generator() {
    if (serial_) return serial_;
    if (bench_.Only()) return serial_ = *bench_.Only();
    const std::vector<std::string> serials = bench_.Catalog();
    if (serials.size() == 1) return serial_ = serials.front();
    if (serials.empty()) {
        Queue(error::HARDWARE_MISSING, "no generator attached");
    } else {
        std::string listed;
        for (const std::string& s : serials) listed += (listed.empty() ? "" : ", ") + s;
        Queue(error::SETTINGS_CONFLICT, std::to_string(serials.size()) + " generators are attached (" + listed +
                                            "): choose one with INSTrument:SELect");
    }
    return std::nullopt;
}

bool ScpiSession::Impl::Device(const std::string& serial, const GeneratorBench::Request& request) {
    const BenchResult result = bench_.Run(serial, request);
    switch (result.outcome) {
        case BenchOutcome::Done: return true;
        case BenchOutcome::Missing: Queue(error::HARDWARE_MISSING, result.detail); return false;
        case BenchOutcome::Failed: Queue(error::HARDWARE, result.detail); return false;
    }
    return false;
}

std::optional<DeviceStatus> ScpiSession::Impl::Status() {
    const auto serial = Generator();
    if (!serial) return std::nullopt;
    std::optional<DeviceStatus> status;
    Device(*serial, [&status](GeneratorSession& g) {
        const StatusReading reading = g.ReadStatus();
        if (reading.outcome == GeneratorOutcome::Done) status = reading.status;
        return reading.outcome;
    });
    return status;
}

std::string ScpiSession::Impl::StatusVolts(const DeviceStatus& status) {
    const int index = status.reportedAmplitudeIndex;
    if (index >= 0 && index < VOUT_ENTRY_COUNT) return VoltsText(AmplitudeMillivolts(index));
    Queue(error::HARDWARE, "the generator reports amplitude index " + std::to_string(index) + ", which the list of " +
                               std::to_string(VOUT_ENTRY_COUNT) + " lacks");
    return NOT_A_NUMBER;
}

ScpiSession::Impl::Answer ScpiSession::Impl::SetFrequency(const ProgramUnit& u) {
    if (!ParameterCount(u, 1, 1)) return {};
    const auto hertz = Frequency(u.parameters.front());
    if (!hertz) return {};
    if (const auto serial = Generator())
        Device(*serial, [h = *hertz](GeneratorSession& g) { return g.SendFrequency(h); });
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::QueryFrequency(const ProgramUnit& u) {
    const auto limit = LimitWord(u);
    if (!limit) return {};
    if (*limit >= 0) return std::to_string(FREQUENCY_LIMITS[*limit]);
    // What the generator reports, even outside the range.
    const auto status = Status();
    if (!status) return {};
    return std::to_string(status->reportedFrequencyHz);
}

ScpiSession::Impl::Answer ScpiSession::Impl::SetAmplitude(const ProgramUnit& u) {
    if (!ParameterCount(u, 1, 1)) return {};
    const auto index = AmplitudeIndex(u.parameters.front());
    if (!index) return {};
    if (const auto serial = Generator())
        Device(*serial, [i = *index](GeneratorSession& g) { return g.SendAmplitude(i); });
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::QueryAmplitude(const ProgramUnit& u) {
    const auto limit = LimitWord(u);
    if (!limit) return {};
    if (*limit >= 0) return VoltsText(AmplitudeMillivolts(AMPLITUDE_LIMITS[*limit]));
    const auto status = Status();
    if (!status) return {};
    return StatusVolts(*status);
}

// APPLy:PULSe [frequency[,amplitude]]: both checked before either is sent, then frequency first.
ScpiSession::Impl::Answer ScpiSession::Impl::ApplyPulse(const ProgramUnit& u) {
    if (u.parameters.size() > 2) {
        Queue(error::PARAMETER_NOT_ALLOWED, "APPLy:PULSe takes a frequency and an amplitude; this generator has no offset");
        return {};
    }
    std::optional<std::int32_t> hertz;
    std::optional<int> index;
    if (u.parameters.size() >= 1 && !(hertz = Frequency(u.parameters[0]))) return {};
    if (u.parameters.size() == 2 && !(index = AmplitudeIndex(u.parameters[1]))) return {};
    if (!hertz && !index) return {};
    const auto serial = Generator();
    if (!serial) return {};
    if (hertz && !Device(*serial, [h = *hertz](GeneratorSession& g) { return g.SendFrequency(h); })) return {};
    if (index) Device(*serial, [i = *index](GeneratorSession& g) { return g.SendAmplitude(i); });
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::Identify() {
    // Without a generator, or with one that is gone, the query fails as any other does: no answer, and the error
    // says why. A generator whose strings cannot be read is still named, with 0 for each field not read.
    const auto serial = Generator();
    if (!serial) return {};
    GeneratorIdentity identity;
    const BenchResult result = bench_.Run(*serial, [&identity](GeneratorSession& g) {
        identity = g.Identity();
        return identity.manufacturer || identity.product ? GeneratorOutcome::Done : GeneratorOutcome::Failed;
    });
    if (result.outcome == BenchOutcome::Missing) {
        Queue(error::HARDWARE_MISSING, result.detail);
        return {};
    }
    if (result.outcome == BenchOutcome::Failed) Queue(error::HARDWARE, result.detail);
    return IdentityField(identity.manufacturer) + "," + IdentityField(identity.product) + "," + IdentityField(serial) +
           "," + IdentityField(identity.version);
}

ScpiSession::Impl::Answer ScpiSession::Impl::Reset() {
    if (const auto serial = Generator()) Device(*serial, [](GeneratorSession& g) { return g.RestoreDefaults(); });
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::SelfTest() {
    return Status() ? "0" : "1";
}

ScpiSession::Impl::Answer ScpiSession::Impl::SelectInstrument(const ProgramUnit& u) {
    if (!ParameterCount(u, 1, 1)) return {};
    const auto serial = Serial(u.parameters.front());
    if (!serial) return {};
    if (bench_.Only()) {
        if (*serial != *bench_.Only())
            Queue(error::ILLEGAL_PARAMETER_VALUE, "this server serves generator " + *bench_.Only() + " only");
        else
            serial_ = serial;
        return {};
    }
    const std::vector<std::string> serials = bench_.Catalog();
    if (std::find(serials.begin(), serials.end(), *serial) == serials.end()) {
        Queue(error::ILLEGAL_PARAMETER_VALUE, "no generator " + *serial + " is attached");
        return {};
    }
    serial_ = serial;
    return {};
}

bool ScpiSession::Impl::SimulationCommand(const ProgramUnit& u) {
    if (bench_.Simulating()) return true;
    Queue(error::UNDEFINED_HEADER, u.header + ": the SIMulate commands work only with --simulate");
    return false;
}

ScpiSession::Impl::Answer ScpiSession::Impl::Simulate(const ProgramUnit& u, bool plug) {
    if (!SimulationCommand(u) || !ParameterCount(u, plug ? 1 : 0, 1)) return {};
    std::optional<std::string> serial;
    if (!u.parameters.empty()) {
        if (!(serial = Serial(u.parameters.front()))) return {};
    } else if (!(serial = Generator())) {
        return {};
    }
    if (plug && !bench_.PlugSimulated(*serial))
        Queue(error::SETTINGS_CONFLICT, "a generator " + *serial + " is plugged in already");
    if (!plug && !bench_.UnplugSimulated(*serial))
        Queue(error::ILLEGAL_PARAMETER_VALUE, "no simulated generator " + *serial + " is plugged in");
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::SimulationLog() {
    const auto serial = Generator();
    if (!serial) return {};
    return QuotedList(bench_.TakeReports(*serial));
}

ScpiSession::Impl::Answer ScpiSession::Impl::OnlySetting(const ProgramUnit& u, std::string_view accepted,
                                                         std::string_view refusal) {
    if (!ParameterCount(u, 1, 1)) return {};
    const Parameter& p = u.parameters.front();
    const bool boolean = accepted == "ON";
    if (p.kind == Parameter::Kind::String || (p.kind == Parameter::Kind::Number && !boolean)) {
        Queue(error::DATA_TYPE, u.header + " takes " + std::string(accepted));
        return {};
    }
    if (p.kind == Parameter::Kind::Number) {
        if (!p.suffix.empty()) {
            Queue(error::SUFFIX_NOT_ALLOWED, p.suffix);
            return {};
        }
        if (RoundHalfUp(ScaledValue(p, 0)) == 0) Queue(error::SETTINGS_CONFLICT, refusal);
        return {};
    }
    if (boolean && !IsWord(p, "ON") && !IsWord(p, "OFF")) {
        Queue(error::INVALID_CHARACTER_DATA, p.text + ": " + u.header + " takes ON, OFF, 1 or 0");
        return {};
    }
    if (!IsWord(p, accepted)) Queue(error::SETTINGS_CONFLICT, refusal);
    return {};
}

ScpiSession::Impl::Answer ScpiSession::Impl::Load(const ProgramUnit& u) {
    constexpr const char* ONLY_50 = "the output drives a 50 ohm load only";
    if (!ParameterCount(u, 1, 1)) return {};
    const Parameter& p = u.parameters.front();
    if (IsWord(p, "MINimum") || IsWord(p, "MAXimum") || IsWord(p, "DEFault")) return {};
    if (IsWord(p, "INFinity")) {
        Queue(error::ILLEGAL_PARAMETER_VALUE, ONLY_50);
        return {};
    }
    if (p.kind != Parameter::Kind::Number) {
        Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
              u.header + " takes 50, MIN, MAX or DEF");
        return {};
    }
    const auto exponent = SuffixExponent(p.suffix, {{"OHM", 0}, {"MOHM", 6}});
    if (!exponent) {
        Queue(error::INVALID_SUFFIX, p.suffix + ": a load is in OHM");
        return {};
    }
    if (ScaledValue(p, *exponent) != 50) Queue(error::ILLEGAL_PARAMETER_VALUE, ONLY_50);
    return {};
}

// ---- ScpiSession ----

ScpiSession::ScpiSession(GeneratorBench& bench) : impl_(std::make_unique<Impl>(*this, bench)) {}
ScpiSession::~ScpiSession() = default;

std::string ScpiSession::Receive(std::string_view bytes) { return impl_->Receive(bytes); }

}  // namespace tarvo::scpi
