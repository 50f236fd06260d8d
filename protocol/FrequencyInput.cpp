#include "FrequencyInput.h"

#include "FeatureReport.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tarvo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<double> ParseFrequencyText(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    std::string_view body = text.substr(begin, end - begin);

    std::size_t pos = 0;
    bool negative = false;
    if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) negative = body[pos++] == '-';
    const std::size_t mantissaStart = pos;
    // Decimal position of the first significant digit, for telling overflow from underflow.
    long long leadingZeros = 0, integerDigits = 0;
    bool seenSignificant = false;
    std::size_t digits = 0;
    for (; pos < body.size() && IsDigit(body[pos]); ++pos, ++digits) {
        if (body[pos] != '0') seenSignificant = true;
        if (seenSignificant) ++integerDigits;
    }
    if (pos < body.size() && body[pos] == '.') {
        for (++pos; pos < body.size() && IsDigit(body[pos]); ++pos, ++digits) {
            if (body[pos] != '0') seenSignificant = true;
            if (!seenSignificant) ++leadingZeros;
        }
    }
    if (digits == 0) return std::nullopt;
    long long exponent = 0;
    if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
        ++pos;
        bool expNegative = false;
        if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) expNegative = body[pos++] == '-';
        const std::size_t expStart = pos;
        for (; pos < body.size() && IsDigit(body[pos]); ++pos)
            if (exponent < 1'000'000) exponent = exponent * 10 + (body[pos] - '0');
        if (pos == expStart) return std::nullopt;
        if (expNegative) exponent = -exponent;
    }
    if (pos != body.size()) return std::nullopt;

    double value = 0;
    const char* first = body.data() + mantissaStart;
    const auto result = std::from_chars(first, body.data() + body.size(), value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        const long long magnitude = (integerDigits > 0 ? integerDigits : -leadingZeros) + exponent;
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc{} || result.ptr != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

double RoundHalfUp(double value) { return std::floor(value + 0.5); }

std::string HertzText(std::int32_t hertz) { return std::to_string(hertz); }

FrequencyCheck CheckFrequencyText(std::string_view text) {
    const std::optional<double> value = ParseFrequencyText(text);
    if (!value) return {FrequencyVerdict::NotNumeric, 0, BAD_INPUT_TITLE, BAD_INPUT_PROMPT};
    return CheckFrequencyValue(*value);
}

FrequencyCheck CheckFrequencyValue(double value) {
    if (!(value >= FOUT_MIN_HZ)) return {FrequencyVerdict::OutOfRange, FOUT_MIN_HZ, BAD_RANGE_TITLE, BAD_RANGE_PROMPT};
    if (value > FOUT_MAX_HZ) return {FrequencyVerdict::OutOfRange, FOUT_MAX_HZ, BAD_RANGE_TITLE, BAD_RANGE_PROMPT};
    return {FrequencyVerdict::Accepted, static_cast<std::int32_t>(RoundHalfUp(value)), {}, {}};
}

}  // namespace tarvo
