#include "ValueCoercion.h"

#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"

#include <cstdio>

namespace tarvo::scpi {
namespace {

constexpr std::size_t MAX_SERIAL = 50;  // the longest serial number the window's string read returns

bool IsSerialText(std::string_view text) {
    if (text.empty() || text.size() > MAX_SERIAL) return false;
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// A number in the command's unit (see SuffixExponent), or MIN, MAX or DEF (limit 0, 1, 2).
struct Quantity {
    int limit = -1;
    double value = 0;
};

std::optional<Quantity> NumberOrLimit(SessionStatus& status, const Parameter& p, std::string_view what,
                                      std::initializer_list<UnitWord> units, std::string_view unitNames) {
    for (int limit = 0; limit < 3; ++limit)
        if (IsWord(p, LIMIT_WORDS[limit])) return Quantity{limit, 0};
    if (p.kind != Parameter::Kind::Number) {
        status.Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
                     p.text + (p.text.empty() ? "" : ": ") + std::string(what) + " is a number, MIN, MAX or DEF");
        return std::nullopt;
    }
    const auto exponent = SuffixExponent(p.suffix, units);
    if (!exponent) {
        status.Queue(error::INVALID_SUFFIX, p.suffix + ": " + std::string(unitNames));
        return std::nullopt;
    }
    return Quantity{-1, ScaledValue(p, *exponent)};
}

}  // namespace

const std::array<std::int32_t, 3> FREQUENCY_LIMITS = {FOUT_MIN_HZ, FOUT_MAX_HZ, FOUT_DEFAULT_HZ};
const std::array<int, 3> AMPLITUDE_LIMITS = {0, VOUT_ENTRY_COUNT - 1, VOUT_DEFAULT_INDEX};

bool ParameterCount(SessionStatus& status, const ProgramUnit& u, std::size_t least, std::size_t most) {
    if (u.parameters.size() < least) {
        status.Queue(error::MISSING_PARAMETER, u.header);
        return false;
    }
    if (u.parameters.size() > most) {
        status.Queue(error::PARAMETER_NOT_ALLOWED,
                     u.header + (most == 0 ? " takes no parameter" : " takes at most " + std::to_string(most)));
        return false;
    }
    return true;
}

std::optional<unsigned> Integer(SessionStatus& status, const ProgramUnit& u, unsigned most) {
    if (!ParameterCount(status, u, 1, 1)) return std::nullopt;
    const Parameter& p = u.parameters.front();
    if (p.kind != Parameter::Kind::Number) {
        status.Queue(error::DATA_TYPE, u.header + " takes a number");
        return std::nullopt;
    }
    if (!p.suffix.empty()) {
        status.Queue(error::SUFFIX_NOT_ALLOWED, p.suffix);
        return std::nullopt;
    }
    const double value = RoundHalfUp(ScaledValue(p, 0));
    if (!(value >= 0 && value <= most)) {
        status.Queue(error::DATA_OUT_OF_RANGE, u.header + " takes 0 to " + std::to_string(most));
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

std::optional<std::int32_t> Frequency(SessionStatus& status, const Parameter& p) {
    const auto q = NumberOrLimit(status, p, "a frequency", {{"HZ", 0}, {"MHZ", 6}},
                                 "frequency units are HZ, KHZ, MHZ (or MAHZ) and GHZ");
    if (!q) return std::nullopt;
    if (q->limit >= 0) return FREQUENCY_LIMITS[static_cast<std::size_t>(q->limit)];
    const FrequencyCheck check = CheckFrequencyValue(q->value);
    if (check.verdict != FrequencyVerdict::Accepted) {
        status.Queue(error::DATA_OUT_OF_RANGE, NumberText(q->value) + " Hz: the pulse frequency is " +
                                                   std::to_string(FOUT_MIN_HZ) + " to " + std::to_string(FOUT_MAX_HZ) +
                                                   " Hz");
        return std::nullopt;
    }
    return check.hertz;
}

std::optional<int> AmplitudeIndex(SessionStatus& status, const Parameter& p) {
    // Worked out in millivolts, the unit of the list.
    const auto q = NumberOrLimit(status, p, "an amplitude", {{"V", 3}, {"VPP", 3}}, "amplitude units are V, MV and VPP");
    if (!q) return std::nullopt;
    if (q->limit >= 0) return AMPLITUDE_LIMITS[static_cast<std::size_t>(q->limit)];
    const int lowest = AmplitudeMillivolts(0), highest = AmplitudeMillivolts(VOUT_ENTRY_COUNT - 1);
    if (!(q->value >= lowest && q->value <= highest)) {
        status.Queue(error::DATA_OUT_OF_RANGE, NumberText(q->value / 1000) + " V: the amplitude is " +
                                                   VoltsText(lowest) + " to " + VoltsText(highest) + " V");
        return std::nullopt;
    }
    return NearestAmplitudeIndex(q->value);
}

std::optional<std::string> Serial(SessionStatus& status, const Parameter& p) {
    if (p.kind != Parameter::Kind::String) {
        status.Queue(error::DATA_TYPE, "a serial number is a quoted string");
        return std::nullopt;
    }
    if (!IsSerialText(p.text)) {
        status.Queue(error::ILLEGAL_PARAMETER_VALUE, "a serial number is 1 to 50 printable characters");
        return std::nullopt;
    }
    return p.text;
}

std::optional<int> LimitWord(SessionStatus& status, const ProgramUnit& u) {
    if (!ParameterCount(status, u, 0, 1)) return std::nullopt;
    if (u.parameters.empty()) return -1;
    const Parameter& p = u.parameters.front();
    for (int limit = 0; limit < 3; ++limit)
        if (IsWord(p, LIMIT_WORDS[limit])) return limit;
    status.Queue(p.kind == Parameter::Kind::Character ? error::INVALID_CHARACTER_DATA : error::DATA_TYPE,
                 u.header + " takes MIN, MAX or DEF");
    return std::nullopt;
}

std::optional<std::size_t> Choice(SessionStatus& status, const ProgramUnit& u, std::initializer_list<const char*> choices,
                                  bool boolean) {
    if (!ParameterCount(status, u, 1, 1)) return std::nullopt;
    const Parameter& p = u.parameters.front();
    std::string named;
    for (const char* choice : choices) named += (named.empty() ? "" : ", ") + std::string(choice);
    if (boolean) named += ", 1 or 0";
    if (boolean && p.kind == Parameter::Kind::Number) {
        if (!p.suffix.empty()) {
            status.Queue(error::SUFFIX_NOT_ALLOWED, p.suffix);
            return std::nullopt;
        }
        // Booleans: any number rounding to 0 is OFF, any other ON.
        return RoundHalfUp(ScaledValue(p, 0)) == 0 ? 1 : 0;
    }
    if (p.kind != Parameter::Kind::Character) {
        status.Queue(error::DATA_TYPE, u.header + " takes " + named);
        return std::nullopt;
    }
    std::size_t index = 0;
    for (const char* choice : choices) {
        if (IsWord(p, choice)) return index;
        ++index;
    }
    status.Queue(error::ILLEGAL_PARAMETER_VALUE, p.text + ": " + u.header + " takes " + named);
    return std::nullopt;
}

std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        quoted.push_back(c);
        if (c == '"') quoted.push_back('"');
    }
    return quoted + '"';
}

std::string QuotedList(const std::vector<std::string>& items) {
    if (items.empty()) return "\"\"";
    std::string list;
    for (const std::string& item : items) {
        if (!list.empty()) list += ',';
        list += Quoted(item);
    }
    return list;
}

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

std::string IdentityField(const std::optional<std::string>& text) {
    std::string field;
    if (text)
        for (const char c : *text)
            if (c >= 0x20 && c <= 0x7E && c != ',' && c != ';') field.push_back(c);
    const auto first = field.find_first_not_of(' ');
    if (first == std::string::npos) return "0";
    return field.substr(first, field.find_last_not_of(' ') - first + 1);
}

}  // namespace tarvo::scpi
