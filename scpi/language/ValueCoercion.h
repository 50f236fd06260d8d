// Parameters to the values the commands work in (numbers with units and multipliers, MIN, MAX and DEF, serial
// numbers, choices), and values back to response text. A parameter that does not fit queues its error on the
// session's status and gives nothing.
#pragma once

#include "ScpiSyntax.h"
#include "StatusRegisters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi {

// MIN, MAX and DEF (limit 0, 1, 2), and what they stand for in frequency and amplitude.
inline constexpr const char* LIMIT_WORDS[] = {"MINimum", "MAXimum", "DEFault"};
extern const std::array<std::int32_t, 3> FREQUENCY_LIMITS;
extern const std::array<int, 3> AMPLITUDE_LIMITS;

// Between `least` and `most` parameters (-109, -108 otherwise).
bool ParameterCount(SessionStatus& status, const ProgramUnit& u, std::size_t least, std::size_t most);
// One integer parameter from 0 to `most`, without a suffix.
std::optional<unsigned> Integer(SessionStatus& status, const ProgramUnit& u, unsigned most);
// A frequency in whole hertz, rounded as the window rounds, within the generator's range.
std::optional<std::int32_t> Frequency(SessionStatus& status, const Parameter& p);
// The amplitude list's entry nearest a voltage within the list's range.
std::optional<int> AmplitudeIndex(SessionStatus& status, const Parameter& p);
// A serial number: a quoted string of 1 to 50 printable characters.
std::optional<std::string> Serial(SessionStatus& status, const Parameter& p);
// MIN, MAX or DEF as a query's optional parameter: 0, 1, 2; -1 when there is none.
std::optional<int> LimitWord(SessionStatus& status, const ProgramUnit& u);
// One parameter among `choices` (spelled with their short forms in capitals); its index. A word that is none
// of them is -224; other data -104, or for `boolean` choices (ON, OFF) also 1 and 0 (index 0 and 1).
std::optional<std::size_t> Choice(SessionStatus& status, const ProgramUnit& u, std::initializer_list<const char*> choices,
                                  bool boolean = false);

// Response text.
std::string Quoted(std::string_view text);
std::string QuotedList(const std::vector<std::string>& items);  // "" for none
std::string VoltsText(int millivolts);                          // 1161 -> 1.161
std::string NumberText(double value);
// A field of the *IDN? answer: printable ASCII without commas and semicolons, without blanks around; 0 when
// nothing is left.
std::string IdentityField(const std::optional<std::string>& text);

}  // namespace tarvo::scpi
