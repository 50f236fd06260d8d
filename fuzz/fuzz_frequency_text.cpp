// Frequency texts of any content: the verdict must match the grammar, and the value strtod's in the C locale.
#include "protocol/FrequencyInput.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::regex numeric(R"(^[ \t]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?[ \t]*$)");
    static const bool cLocale = std::setlocale(LC_NUMERIC, "C") != nullptr;
    (void)cLocale;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto value = tarvo::ParseFrequencyText(text);
    if (size > 256) return 0;  // the reference grammar's regex recurses per character
    const bool expected = text.find('\0') == std::string::npos && std::regex_match(text, numeric);
    if (value.has_value() != expected) std::abort();
    if (!value) return 0;
    const double reference = std::strtod(text.c_str(), nullptr);
    if (std::isnan(*value)) std::abort();
    // strtod gives HUGE_VAL on overflow and 0 (or the nearest subnormal) on underflow, as the parser does.
    if (std::isinf(reference) || std::isinf(*value)) {
        if (reference != *value) std::abort();
    } else if (std::fabs(reference - *value) > 1e-300 && reference != *value) {
        std::abort();
    }
    return 0;
}
