#include "Commands.h"

#include "CommandTree.h"
#include "ValueCoercion.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"

#include <optional>

namespace tarvo::scpi {
namespace {

using Answer = std::optional<std::string>;
using U = const ProgramUnit&;
using Handler = Answer (*)(SessionState&, U);

constexpr const char* NOT_A_NUMBER = "9.91E+37";  // SCPI's not-a-number
constexpr const char* WHAT_IT_DOES = "this generator sets pulse frequency (FREQ) and amplitude (VOLT) only";

struct Command {
    HeaderPattern header;
    bool query = false;
    Handler run = nullptr;
};

Command Make(std::string_view pattern, bool query, Handler run) { return {ParsePattern(pattern), query, run}; }

// ---- The generator's settings ----

// The amplitude the status report gives, in volts; NaN and a -240 for an index the list lacks.
std::string StatusVolts(SessionState& s, const DeviceStatus& status) {
    const int index = status.reportedAmplitudeIndex;
    if (index >= 0 && index < VOUT_ENTRY_COUNT) return VoltsText(AmplitudeMillivolts(index));
    s.status.Queue(error::HARDWARE, "the generator reports amplitude index " + std::to_string(index) +
                                        ", which the list of " + std::to_string(VOUT_ENTRY_COUNT) + " lacks");
    return NOT_A_NUMBER;
}

Answer SetFrequency(SessionState& s, U u) {
    if (!ParameterCount(s.status, u, 1, 1)) return {};
    const auto hertz = Frequency(s.status, u.parameters.front());
    if (!hertz) return {};
    if (const auto target = s.Target()) s.Reached(s.instruments.SendFrequency(*target, *hertz));
    return {};
}

Answer QueryFrequency(SessionState& s, U u) {
    const auto limit = LimitWord(s.status, u);
    if (!limit) return {};
    if (*limit >= 0) return std::to_string(FREQUENCY_LIMITS[static_cast<std::size_t>(*limit)]);
    // What the generator reports, even outside the range.
    const auto status = s.Status();
    if (!status) return {};
    return std::to_string(status->reportedFrequencyHz);
}

Answer SetAmplitude(SessionState& s, U u) {
    if (!ParameterCount(s.status, u, 1, 1)) return {};
    const auto index = AmplitudeIndex(s.status, u.parameters.front());
    if (!index) return {};
    if (const auto target = s.Target()) s.Reached(s.instruments.SendAmplitude(*target, *index));
    return {};
}

Answer QueryAmplitude(SessionState& s, U u) {
    const auto limit = LimitWord(s.status, u);
    if (!limit) return {};
    if (*limit >= 0) return VoltsText(AmplitudeMillivolts(AMPLITUDE_LIMITS[static_cast<std::size_t>(*limit)]));
    const auto status = s.Status();
    if (!status) return {};
    return StatusVolts(s, *status);
}

// APPLy:PULSe [frequency[,amplitude]]: both checked before either is sent, then frequency first.
Answer ApplyPulse(SessionState& s, U u) {
    if (u.parameters.size() > 2) {
        s.status.Queue(error::PARAMETER_NOT_ALLOWED,
                       "APPLy:PULSe takes a frequency and an amplitude; this generator has no offset");
        return {};
    }
    std::optional<std::int32_t> hertz;
    std::optional<int> index;
    if (u.parameters.size() >= 1 && !(hertz = Frequency(s.status, u.parameters[0]))) return {};
    if (u.parameters.size() == 2 && !(index = AmplitudeIndex(s.status, u.parameters[1]))) return {};
    if (!hertz && !index) return {};
    const auto target = s.Target();
    if (!target) return {};
    if (hertz && !s.Reached(s.instruments.SendFrequency(*target, *hertz))) return {};
    if (index) s.Reached(s.instruments.SendAmplitude(*target, *index));
    return {};
}

Answer Identify(SessionState& s) {
    // Without a generator, or with one that is gone, the query fails as any other does: no answer, and the error
    // says why. A generator whose strings cannot be read (Failed) is still named, with 0 for each field not read.
    const auto target = s.Target();
    if (!target) return {};
    InstrumentIdentity identity;
    const InstrumentResult result = s.instruments.Identity(*target, identity);
    if (!s.Reached(result) && result.outcome != InstrumentOutcome::Failed) return {};
    return IdentityField(identity.manufacturer) + "," + IdentityField(identity.product) + "," +
           IdentityField(*target) + "," + IdentityField(identity.version);
}

Answer Reset(SessionState& s) {
    if (const auto target = s.Target()) s.Reached(s.instruments.RestoreDefaults(*target));
    return {};
}

// A setting this generator has one value of: that value is accepted, any other legal one refused with -221.
Answer OnlySetting(SessionState& s, U u, std::initializer_list<const char*> choices, std::string_view refusal,
                   bool boolean = false) {
    const auto choice = Choice(s.status, u, choices, boolean);
    if (choice && *choice != 0) s.status.Queue(error::SETTINGS_CONFLICT, refusal);
    return {};
}

Answer Load(SessionState& s, U u) {
    constexpr const char* ONLY_50 = "the output drives a 50 ohm load only";
    if (!ParameterCount(s.status, u, 1, 1)) return {};
    const Parameter& p = u.parameters.front();
    for (const char* limit : LIMIT_WORDS)
        if (IsWord(p, limit)) return {};
    if (IsWord(p, "INFinity")) {
        s.status.Queue(error::ILLEGAL_PARAMETER_VALUE, ONLY_50);
        return {};
    }
    if (p.kind != Parameter::Kind::Number) {
        s.status.Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
                       u.header + " takes 50, MIN, MAX or DEF");
        return {};
    }
    const auto exponent = SuffixExponent(p.suffix, {{"OHM", 0}, {"MOHM", 6}});
    if (!exponent) {
        s.status.Queue(error::INVALID_SUFFIX, p.suffix + ": a load is in OHM");
        return {};
    }
    if (ScaledValue(p, *exponent) != 50) s.status.Queue(error::ILLEGAL_PARAMETER_VALUE, ONLY_50);
    return {};
}

// ---- Which generator ----

Answer SelectInstrument(SessionState& s, U u) {
    if (!ParameterCount(s.status, u, 1, 1)) return {};
    const auto serial = Serial(s.status, u.parameters.front());
    if (!serial) return {};
    Instruments::Choice choice = s.instruments.Select(*serial);
    if (choice.serial)
        s.serial = std::move(choice.serial);
    else
        s.status.Queue(choice.several ? error::SETTINGS_CONFLICT : error::ILLEGAL_PARAMETER_VALUE, choice.why);
    return {};
}

// ---- --simulate only ----

bool SimulationCommand(SessionState& s, U u) {
    if (s.instruments.Simulating()) return true;
    s.status.Queue(error::UNDEFINED_HEADER, u.header + ": the SIMulate commands work only with --simulate");
    return false;
}

Answer Simulate(SessionState& s, U u, bool plug) {
    if (!SimulationCommand(s, u) || !ParameterCount(s.status, u, plug ? 1 : 0, 1)) return {};
    std::optional<std::string> serial;
    if (!u.parameters.empty()) {
        if (!(serial = Serial(s.status, u.parameters.front()))) return {};
    } else if (!(serial = s.Generator())) {
        return {};
    }
    if (plug && !s.instruments.PlugSimulated(*serial))
        s.status.Queue(error::SETTINGS_CONFLICT, "a generator " + *serial + " is plugged in already");
    if (!plug && !s.instruments.UnplugSimulated(*serial))
        s.status.Queue(error::ILLEGAL_PARAMETER_VALUE, "no simulated generator " + *serial + " is plugged in");
    return {};
}

// ---- Status registers ----

// The STATus register the running header names.
StatusRegister& Register(SessionState& s) {
    return KeywordMatches(s.words.at(1).name, "OPERation") ? s.status.operation : s.status.questionable;
}

Answer Field(SessionState& s, U u, std::uint16_t StatusRegister::*field) {
    if (!ParameterCount(s.status, u, 0, 0)) return {};
    return std::to_string(Register(s).*field);
}

Answer SetField(SessionState& s, U u, std::uint16_t StatusRegister::*field) {
    if (const auto v = Integer(s.status, u, 65535)) Register(s).*field = static_cast<std::uint16_t>(*v & REGISTER_BITS);
    return {};
}

// A query that takes no parameter and answers `text`.
Answer Fixed(SessionState& s, U u, const char* text) {
    return ParameterCount(s.status, u, 0, 0) ? Answer(text) : Answer();
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        // IEEE 488.2 common commands.
        Make("*CLS", false, [](SessionState& s, U u) -> Answer {
            if (ParameterCount(s.status, u, 0, 0)) s.status.Clear();
            return {};
        }),
        Make("*ESE", false, [](SessionState& s, U u) -> Answer {
            if (const auto v = Integer(s.status, u, 255)) s.status.ese = static_cast<std::uint8_t>(*v);
            return {};
        }),
        Make("*ESE", true, [](SessionState& s, U u) -> Answer {
            return ParameterCount(s.status, u, 0, 0) ? Answer(std::to_string(s.status.ese)) : Answer();
        }),
        Make("*ESR", true, [](SessionState& s, U u) -> Answer {
            if (!ParameterCount(s.status, u, 0, 0)) return {};
            const std::uint8_t esr = s.status.esr;
            s.status.esr = 0;
            return std::to_string(esr);
        }),
        Make("*IDN", true, [](SessionState& s, U u) { return ParameterCount(s.status, u, 0, 0) ? Identify(s) : Answer(); }),
        Make("*OPC", false, [](SessionState& s, U u) -> Answer {
            // Every command has finished when the next one starts.
            if (ParameterCount(s.status, u, 0, 0)) s.status.esr |= ESR_OPC;
            return {};
        }),
        Make("*OPC", true, [](SessionState& s, U u) { return Fixed(s, u, "1"); }),
        Make("*OPT", true, [](SessionState& s, U u) { return Fixed(s, u, "0"); }),
        Make("*RST", false, [](SessionState& s, U u) { return ParameterCount(s.status, u, 0, 0) ? Reset(s) : Answer(); }),
        Make("*SRE", false, [](SessionState& s, U u) -> Answer {
            if (const auto v = Integer(s.status, u, 255)) s.status.sre = static_cast<std::uint8_t>(*v & ~STB_MSS);
            return {};
        }),
        Make("*SRE", true, [](SessionState& s, U u) -> Answer {
            return ParameterCount(s.status, u, 0, 0) ? Answer(std::to_string(s.status.sre)) : Answer();
        }),
        Make("*STB", true, [](SessionState& s, U u) -> Answer {
            // MAV is 0 here: the answers of earlier messages have left before this one runs.
            return ParameterCount(s.status, u, 0, 0) ? Answer(std::to_string(s.status.StatusByte(false))) : Answer();
        }),
        Make("*TST", true, [](SessionState& s, U u) -> Answer {
            return ParameterCount(s.status, u, 0, 0) ? Answer(s.Status() ? "0" : "1") : Answer();
        }),
        Make("*WAI", false, [](SessionState& s, U u) -> Answer {
            ParameterCount(s.status, u, 0, 0);
            return {};
        }),
        Make("*TRG", false, [](SessionState& s, U) -> Answer {
            s.status.Queue(error::SETTINGS_CONFLICT, "this generator has no trigger: its pulses run continuously");
            return {};
        }),

        // The generator's settings.
        Make("[SOURce#]:FREQuency:[CW|FIXed]", false, SetFrequency),
        Make("[SOURce#]:FREQuency:[CW|FIXed]", true, QueryFrequency),
        Make("[SOURce#]:VOLTage:[LEVel]:[IMMediate]:[AMPLitude]", false, SetAmplitude),
        Make("[SOURce#]:VOLTage:[LEVel]:[IMMediate]:[AMPLitude]", true, QueryAmplitude),
        Make("[SOURce#]:VOLTage:UNIT", false, [](SessionState& s, U u) {
            return OnlySetting(s, u, {"VPP", "VRMS", "DBM"}, "amplitudes are peak-to-peak volts (VPP) only");
        }),
        Make("[SOURce#]:VOLTage:UNIT", true, [](SessionState& s, U u) { return Fixed(s, u, "VPP"); }),
        Make("[SOURce#]:FUNCtion:[SHAPe]", false, [](SessionState& s, U u) {
            return OnlySetting(s, u,
                               {"PULSe", "SINusoid", "SQUare", "RAMP", "TRIangle", "NOISe", "DC", "USER", "PRBS",
                                "ARBitrary"},
                               "this generator makes pulses only");
        }),
        Make("[SOURce#]:FUNCtion:[SHAPe]", true, [](SessionState& s, U u) { return Fixed(s, u, "PULS"); }),
        Make("OUTPut#:[STATe]", false, [](SessionState& s, U u) {
            return OnlySetting(s, u, {"ON", "OFF"}, "the output cannot be switched off", true);
        }),
        Make("OUTPut#:[STATe]", true, [](SessionState& s, U u) { return Fixed(s, u, "1"); }),
        Make("OUTPut#:LOAD", false, Load),
        Make("OUTPut#:LOAD", true, [](SessionState& s, U u) { return LimitWord(s.status, u) ? Answer("50") : Answer(); }),
        Make("APPLy:PULSe", false, ApplyPulse),
        Make("APPLy:SINusoid|SQUare|RAMP|TRIangle|NOISe|DC|USER|PRBS|ARBitrary", false, [](SessionState& s, U) -> Answer {
            s.status.Queue(error::SETTINGS_CONFLICT, "this generator makes pulses only (APPLy:PULSe)");
            return {};
        }),
        Make("APPLy", true, [](SessionState& s, U u) -> Answer {
            if (!ParameterCount(s.status, u, 0, 0)) return {};
            const auto status = s.Status();
            if (!status) return {};
            return Quoted("PULS " + std::to_string(status->reportedFrequencyHz) + "," + StatusVolts(s, *status));
        }),

        // SCPI's required commands.
        Make("SYSTem:ERRor:[NEXT]", true, [](SessionState& s, U u) {
            return ParameterCount(s.status, u, 0, 0) ? Answer(s.status.errors.Pop()) : Answer();
        }),
        Make("SYSTem:ERRor:COUNt", true, [](SessionState& s, U u) {
            return ParameterCount(s.status, u, 0, 0) ? Answer(std::to_string(s.status.errors.Count())) : Answer();
        }),
        Make("SYSTem:ERRor:ALL", true, [](SessionState& s, U u) -> Answer {
            if (!ParameterCount(s.status, u, 0, 0)) return {};
            std::string all = s.status.errors.Pop();
            while (!s.status.errors.Empty()) all.append(",").append(s.status.errors.Pop());
            return all;
        }),
        Make("SYSTem:VERSion", true, [](SessionState& s, U u) { return Fixed(s, u, "1999.0"); }),
        Make("STATus:OPERation|QUEStionable:[EVENt]", true, [](SessionState& s, U u) -> Answer {
            if (!ParameterCount(s.status, u, 0, 0)) return {};
            StatusRegister& r = Register(s);
            const std::uint16_t event = r.event;
            r.event = 0;
            return std::to_string(event);
        }),
        Make("STATus:OPERation|QUEStionable:CONDition", true,
             [](SessionState& s, U u) { return Field(s, u, &StatusRegister::condition); }),
        Make("STATus:OPERation|QUEStionable:ENABle", true,
             [](SessionState& s, U u) { return Field(s, u, &StatusRegister::enable); }),
        Make("STATus:OPERation|QUEStionable:ENABle", false,
             [](SessionState& s, U u) { return SetField(s, u, &StatusRegister::enable); }),
        Make("STATus:OPERation|QUEStionable:PTRansition", true,
             [](SessionState& s, U u) { return Field(s, u, &StatusRegister::positive); }),
        Make("STATus:OPERation|QUEStionable:PTRansition", false,
             [](SessionState& s, U u) { return SetField(s, u, &StatusRegister::positive); }),
        Make("STATus:OPERation|QUEStionable:NTRansition", true,
             [](SessionState& s, U u) { return Field(s, u, &StatusRegister::negative); }),
        Make("STATus:OPERation|QUEStionable:NTRansition", false,
             [](SessionState& s, U u) { return SetField(s, u, &StatusRegister::negative); }),
        Make("STATus:PRESet", false, [](SessionState& s, U u) -> Answer {
            if (ParameterCount(s.status, u, 0, 0)) s.status.Preset();
            return {};
        }),

        // Which generator this session works with.
        Make("INSTrument:[SELect]", false, SelectInstrument),
        Make("INSTrument:[SELect]", true, [](SessionState& s, U u) -> Answer {
            if (!ParameterCount(s.status, u, 0, 0)) return {};
            return Quoted(s.serial ? *s.serial : s.instruments.Only().value_or(""));
        }),
        Make("INSTrument:CATalog", true, [](SessionState& s, U u) {
            return ParameterCount(s.status, u, 0, 0) ? Answer(QuotedList(s.instruments.Catalog())) : Answer();
        }),

        // --simulate only.
        Make("SIMulate:PLUG", false, [](SessionState& s, U u) { return Simulate(s, u, true); }),
        Make("SIMulate:UNPLug", false, [](SessionState& s, U u) { return Simulate(s, u, false); }),
        Make("SIMulate:LOG", true, [](SessionState& s, U u) -> Answer {
            if (!SimulationCommand(s, u) || !ParameterCount(s.status, u, 0, 0)) return {};
            const auto serial = s.Generator();
            if (!serial) return {};
            return QuotedList(s.instruments.TakeReports(*serial));
        }),
    };
    return commands;
}

}  // namespace

void RunUnit(SessionState& s, const ProgramUnit& unit, std::vector<Mnemonic>& path, std::vector<std::string>& answers) {
    std::vector<Mnemonic>& words = s.words;
    words.clear();
    if (!unit.common) {
        if (!unit.rooted) words = path;
        words.insert(words.end(), unit.mnemonics.begin(), unit.mnemonics.end());
    }
    const Command* found = nullptr;
    for (const Command& c : Commands()) {
        if (c.query == unit.query && HeaderMatches(c.header, unit, words)) {
            found = &c;
            break;
        }
    }
    if (!found) {
        s.status.Queue(error::UNDEFINED_HEADER, unit.header + (unit.common ? "" : std::string(": ") + WHAT_IT_DOES));
        return;
    }
    if (!unit.common) {
        // The next header without a leading ':' continues from this one's path.
        path.assign(words.begin(), words.end() - 1);
        for (const Mnemonic& w : words)
            if (w.suffix >= 0 && w.suffix != 1)
                return s.status.Queue(error::HEADER_SUFFIX_OUT_OF_RANGE,
                                      unit.header + ": this generator has one output, 1");
    }
    // No command here takes block data.
    for (const Parameter& p : unit.parameters)
        if (p.kind == Parameter::Kind::Block) return s.status.Queue(error::DATA_TYPE, "block data is not taken");
    if (Answer answer = found->run(s, unit)) answers.push_back(std::move(*answer));
}

}  // namespace tarvo::scpi
