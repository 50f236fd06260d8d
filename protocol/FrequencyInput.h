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

}  // namespace tarvo
