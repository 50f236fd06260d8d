// The text the user types as a pulse frequency.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// The value of a numeric text, or nothing when it is not numeric. Numeric is: optional blanks (space, tab)
// around, an optional sign, decimal digits with an optional '.' and fraction, an optional exponent (e or E,
// optional sign, digits). The rule is the same under every locale: '.' is the only decimal separator, so
// "1,5" is not numeric, and neither are digit grouping, hexadecimal prefixes, "inf" or "nan". A value too
// large for a double is infinite, one too small is 0, so a range check still decides it.
std::optional<double> ParseFrequencyText(std::string_view text);

// floor(v + 0.5): halves go up.
double RoundHalfUp(double value);

// Whole hertz in plain decimal digits.
std::string HertzText(std::int32_t hertz);

// The two refusals of a frequency text, as message box title and prompt.
inline constexpr const char* BAD_INPUT_TITLE = "Bad input";
inline constexpr const char* BAD_INPUT_PROMPT = "Enter pulse frequency in Hz";
inline constexpr const char* BAD_RANGE_TITLE = "Bad data range";
inline constexpr const char* BAD_RANGE_PROMPT = "Pulse frequency is between 25kHz and 350MHz";

enum class FrequencyVerdict {
    NotNumeric,  // refused; the text stays as typed
    OutOfRange,  // refused; the text is replaced by the bound on the value's side, which is not sent
    Accepted,    // the text is replaced by the rounded whole hertz, which are sent
};

struct FrequencyCheck {
    FrequencyVerdict verdict = FrequencyVerdict::NotNumeric;
    // Accepted: the value rounded half up to whole hertz. OutOfRange: FOUT_MIN_HZ for a value below the range,
    // FOUT_MAX_HZ for one above it. NotNumeric: 0.
    std::int32_t hertz = 0;
    // The message of a refusal (BAD_INPUT_* or BAD_RANGE_*); empty for an accepted text.
    std::string_view title;
    std::string_view prompt;
};

// Decides a typed frequency the way the "Pulse frequency, Hz" button does: not numeric; numeric but outside
// FOUT_MIN_HZ..FOUT_MAX_HZ before any rounding (24999.5 is refused although it would round to 25000); or
// accepted and rounded half up. The text the box holds afterwards is HertzText(hertz) unless NotNumeric.
FrequencyCheck CheckFrequencyText(std::string_view text);

// The same decision on a value already converted (the SCPI server's, after its units): OutOfRange or Accepted,
// with the prompts of CheckFrequencyText. A NaN is out of range.
FrequencyCheck CheckFrequencyValue(double value);

}  // namespace tarvo
