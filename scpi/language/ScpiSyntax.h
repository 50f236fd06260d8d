// The syntax of SCPI program messages (IEEE 488.2 chapter 7): a message is program message units separated by
// ';', each a header (a common '*' header, or keywords separated by ':', with an optional leading ':', numeric
// suffixes and a trailing '?') and its parameters separated by ','. Parameters are decimal numbers with an
// optional suffix, #H/#Q/#B numbers, character data, quoted strings and block data (#<n><length><bytes>, or #0
// and every byte to the message's end). Expression data is refused.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::scpi {

// A keyword of a compound header.
struct Mnemonic {
    std::string name;  // without its numeric suffix, as written
    long suffix = -1;  // the numeric suffix; -1 when none was written
};

struct Parameter {
    enum class Kind { Number, Character, String, Block };
    Kind kind = Kind::Number;
    // Number: the mantissa as written ("-2.5", ".5"), a #H/#Q/#B number in decimal digits. Character: the word,
    // upper-cased. String: the content, doubled quotes undone. Block: the data bytes.
    std::string text;
    long exponent = 0;   // Number: the decimal exponent written after E (kept within +-1000000)
    std::string suffix;  // Number: the suffix written after it, upper-cased; empty when none
};

struct ProgramUnit {
    std::string header;  // as written; empty for an empty unit
    bool common = false;  // a '*' header; its one mnemonic is the name after '*'
    bool rooted = false;  // written with a leading ':'
    bool query = false;
    std::vector<Mnemonic> mnemonics;
    std::vector<Parameter> parameters;
};

struct SyntaxError {
    int code = 0;  // 0: none
    std::string detail;
};

// Reads the unit that starts at `pos` in a message (without its terminator) and moves `pos` past it and its ';'.
// At the end of the message, or for an empty unit, the unit's header is empty. On a syntax error `error` tells
// which, and `pos` is left where the error was found.
struct UnitReading {
    ProgramUnit unit;
    SyntaxError error;
};
UnitReading ReadUnit(std::string_view message, std::size_t& pos);

// Whether a written keyword is the short form or the long form of a keyword spelled with its short form in
// capitals ("FREQuency": FREQ or FREQUENCY, in any case).
bool KeywordMatches(std::string_view written, std::string_view spelling);

// The value of a number times 10^shift, converted as the window converts typed text (exactly rounded; a value
// too large for a double is infinite).
double ScaledValue(const Parameter& number, int shift);

// A unit a numeric parameter may carry: the suffix word and the power of ten it stands for, relative to the
// value the command works in.
struct UnitWord {
    const char* word;
    int exponent;
};
// The power of ten a suffix stands for among the units given (the first is the default unit): no suffix is the
// default unit; a unit word; a multiplier (EX PE T G MA K M U N P F A, M being milli) before a unit word; or a
// multiplier alone, of the default unit. Words listed as units are taken whole first, so MHZ listed with 6 is
// megahertz. Nothing when the suffix is none of these.
std::optional<int> SuffixExponent(std::string_view suffix, std::initializer_list<UnitWord> units);

// Whether a character parameter is the keyword spelled so (see KeywordMatches).
inline bool IsWord(const Parameter& p, std::string_view spelling) {
    return p.kind == Parameter::Kind::Character && KeywordMatches(p.text, spelling);
}

}  // namespace tarvo::scpi
