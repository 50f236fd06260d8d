// Any text typed as a frequency: the verdict matches a separate automaton of the numeric grammar, the value
// matches the C library's conversion, the button's decision matches the value, and an accepted in-range value,
// rounded and written out, reads back as itself.
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tarvo;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// blanks* sign? (digits ('.' digits*)? | '.' digits) (e sign? digits)? blanks*, as a state machine.
bool NumericByAutomaton(std::string_view text) {
    enum State { Start, Sign, Integer, Dot, Fraction, E, ESign, EDigits, Trail, Reject };
    State state = Start;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool blank = c == ' ' || c == '\t';
        const bool sign = c == '+' || c == '-';
        const bool e = c == 'e' || c == 'E';
        switch (state) {
            case Start: state = blank ? Start : sign ? Sign : digit ? Integer : c == '.' ? Dot : Reject; break;
            case Sign: state = digit ? Integer : c == '.' ? Dot : Reject; break;
            case Integer: state = digit ? Integer : c == '.' ? Fraction : e ? E : blank ? Trail : Reject; break;
            case Dot: state = digit ? Fraction : Reject; break;
            case Fraction: state = digit ? Fraction : e ? E : blank ? Trail : Reject; break;
            case E: state = sign ? ESign : digit ? EDigits : Reject; break;
            case ESign: state = digit ? EDigits : Reject; break;
            case EDigits: state = digit ? EDigits : blank ? Trail : Reject; break;
            case Trail: state = blank ? Trail : Reject; break;
            case Reject: return false;
        }
    }
    return state == Integer || state == Fraction || state == EDigits || state == Trail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<double> value = ParseFrequencyText(text);
    Require(value.has_value() == NumericByAutomaton(text));
    // The button's decision agrees with the value: refused as not numeric, refused with the bound on the
    // value's side, or accepted as the value rounded half up.
    const FrequencyCheck check = CheckFrequencyText(text);
    if (!value) {
        Require(check.verdict == FrequencyVerdict::NotNumeric && check.title == BAD_INPUT_TITLE);
        return 0;
    }
    if (*value < FOUT_MIN_HZ || *value > FOUT_MAX_HZ) {
        Require(check.verdict == FrequencyVerdict::OutOfRange && check.title == BAD_RANGE_TITLE);
        Require(check.hertz == (*value < FOUT_MIN_HZ ? FOUT_MIN_HZ : FOUT_MAX_HZ));
    } else {
        Require(check.verdict == FrequencyVerdict::Accepted && check.hertz == RoundHalfUp(*value));
    }

    // The process runs in the C locale, where strtod reads the same grammar.
    const double reference = std::strtod(text.c_str(), nullptr);
    if (std::isinf(reference)) {
        Require(*value == reference);
    } else if (std::fabs(reference) < DBL_MIN) {
        // Below the normal range the conversion may give 0 where the C library keeps a subnormal value; both
        // lie far below the lowest frequency.
        Require(*value == reference || *value == 0);
    } else {
        Require(*value == reference);
    }

    if (*value >= FOUT_MIN_HZ && *value <= FOUT_MAX_HZ) {
        const double rounded = RoundHalfUp(*value);
        Require(rounded >= FOUT_MIN_HZ && rounded <= FOUT_MAX_HZ && rounded - *value <= 0.5 && *value - rounded < 0.5);
        const std::string written = HertzText(static_cast<std::int32_t>(rounded));
        Require(ParseFrequencyText(written) == rounded);
        Require(written.find_first_not_of("0123456789") == std::string::npos);
    }
    return 0;
}
