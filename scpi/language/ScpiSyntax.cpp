#include "ScpiSyntax.h"

#include "ErrorQueue.h"
#include "protocol/FrequencyInput.h"

#include <cstdint>

namespace tarvo::scpi {
namespace {

constexpr std::size_t MAX_MNEMONIC = 12;        // longest keyword, suffix included
constexpr std::size_t MAX_CHARACTER_DATA = 12;  // longest character parameter
constexpr long MAX_EXPONENT = 1000000;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// White space of IEEE 488.2: every byte up to the space but LF (which never reaches a message).
bool IsSpace(char c) { return static_cast<unsigned char>(c) <= 0x20 && c != '\n'; }

std::string UpperText(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = Upper(c);
    return upper;
}

class Reader {
public:
    Reader(std::string_view text, std::size_t& pos) : text_(text), pos_(pos) {}

    UnitReading Unit() {
        UnitReading r;
        SkipSpace();
        if (AtEnd()) return r;
        if (Peek() == ';') {
            ++pos_;
            return r;
        }
        const std::size_t headerStart = pos_;
        if (!Header(r)) return r;
        r.unit.header = std::string(text_.substr(headerStart, pos_ - headerStart));
        if (!AtEnd() && Peek() != ';') {
            if (!IsSpace(Peek())) return Fail(r, error::HEADER_SEPARATOR, Around());
            SkipSpace();
            if (!AtEnd() && Peek() != ';' && !Parameters(r)) return r;
        }
        if (!AtEnd()) ++pos_;  // the ';'
        return r;
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return text_[pos_]; }
    void SkipSpace() {
        while (!AtEnd() && IsSpace(Peek())) ++pos_;
    }
    // A few characters from the current position, for an error's detail.
    std::string Around() const { return std::string(text_.substr(pos_, 16)); }

    static UnitReading& Fail(UnitReading& r, int code, std::string detail) {
        r.error = {code, std::move(detail)};
        r.unit = {};
        return r;
    }
    bool Failed(UnitReading& r, int code, std::string detail) {
        Fail(r, code, std::move(detail));
        return false;
    }

    bool Header(UnitReading& r) {
        ProgramUnit& u = r.unit;
        if (Peek() == '*') {
            u.common = true;
            ++pos_;
            Mnemonic m;
            if (!Keyword(r, m)) return false;
            u.mnemonics.push_back(std::move(m));
        } else {
            if (Peek() == ':') {
                u.rooted = true;
                ++pos_;
            }
            for (;;) {
                Mnemonic m;
                if (!Keyword(r, m)) return false;
                u.mnemonics.push_back(std::move(m));
                if (AtEnd() || Peek() != ':') break;
                ++pos_;
            }
        }
        if (!AtEnd() && Peek() == '?') {
            u.query = true;
            ++pos_;
        }
        return true;
    }

    bool Keyword(UnitReading& r, Mnemonic& m) {
        if (AtEnd()) return Failed(r, error::SYNTAX, "a keyword is missing at the end");
        if (!IsAlpha(Peek())) {
            const auto c = static_cast<unsigned char>(Peek());
            return Failed(r, c > 0x7E ? error::INVALID_CHARACTER : error::SYNTAX, "a keyword was expected at " + Around());
        }
        const std::size_t start = pos_;
        while (!AtEnd() && (IsAlpha(Peek()) || IsDigit(Peek()) || Peek() == '_')) ++pos_;
        const std::string_view word = text_.substr(start, pos_ - start);
        if (word.size() > MAX_MNEMONIC) return Failed(r, error::MNEMONIC_TOO_LONG, std::string(word));
        std::size_t letters = word.size();
        while (IsDigit(word[letters - 1])) --letters;
        m.name = std::string(word.substr(0, letters));
        if (letters < word.size()) {
            m.suffix = 0;
            for (char c : word.substr(letters)) m.suffix = m.suffix * 10 + (c - '0');  // at most 11 digits
        }
        return true;
    }

    bool Parameters(UnitReading& r) {
        for (;;) {
            Parameter p;
            if (!Value(r, p)) return false;
            r.unit.parameters.push_back(std::move(p));
            SkipSpace();
            if (AtEnd() || Peek() == ';') return true;
            if (Peek() != ',') return Failed(r, error::SYNTAX, "unexpected " + Around());
            ++pos_;
            SkipSpace();
            if (AtEnd() || Peek() == ';' || Peek() == ',')
                return Failed(r, error::SYNTAX, "a parameter is missing after a comma");
        }
    }

    bool Value(UnitReading& r, Parameter& p) {
        const char c = Peek();
        if (c == '"' || c == '\'') return String(r, p);
        if (c == '#') return NonDecimal(r, p);
        if (IsDigit(c) || c == '+' || c == '-' || c == '.') return Number(r, p);
        if (IsAlpha(c)) {
            const std::size_t start = pos_;
            while (!AtEnd() && (IsAlpha(Peek()) || IsDigit(Peek()) || Peek() == '_')) ++pos_;
            const std::string_view word = text_.substr(start, pos_ - start);
            if (word.size() > MAX_CHARACTER_DATA) return Failed(r, error::CHARACTER_DATA_TOO_LONG, std::string(word));
            p.kind = Parameter::Kind::Character;
            p.text = UpperText(word);
            return true;
        }
        if (c == '(') return Failed(r, error::DATA_TYPE, "expression data is not taken");
        const auto byte = static_cast<unsigned char>(c);
        return Failed(r, byte > 0x7E || byte < 0x20 ? error::INVALID_CHARACTER : error::SYNTAX, "unexpected " + Around());
    }

    bool String(UnitReading& r, Parameter& p) {
        const char quote = Peek();
        ++pos_;
        p.kind = Parameter::Kind::String;
        for (;;) {
            if (AtEnd()) return Failed(r, error::INVALID_STRING_DATA, "the string has no closing quote");
            const char c = text_[pos_++];
            if (c == quote) {
                if (AtEnd() || Peek() != quote) return true;
                ++pos_;
            }
            p.text.push_back(c);
        }
    }

    // Block data: #<n><length><bytes>, n from 1 to 9 being the number of the length's digits; #0 and every
    // byte to the end of the message.
    bool Block(UnitReading& r, Parameter& p) {
        p.kind = Parameter::Kind::Block;
        const int digits = Peek() - '0';
        ++pos_;
        if (digits == 0) {
            p.text = std::string(text_.substr(pos_));
            pos_ = text_.size();
            return true;
        }
        std::size_t length = 0;
        for (int i = 0; i < digits; ++i, ++pos_) {
            if (AtEnd() || !IsDigit(Peek()))
                return Failed(r, error::INVALID_BLOCK_DATA, "the block's length has fewer digits than its header says");
            length = length * 10 + static_cast<std::size_t>(Peek() - '0');
        }
        if (text_.size() - pos_ < length)
            return Failed(r, error::INVALID_BLOCK_DATA, "the block holds fewer bytes than its length says");
        p.text = std::string(text_.substr(pos_, length));
        pos_ += length;
        return true;
    }

    // #H, #Q and #B numbers: hexadecimal, octal and binary integers; block data.
    bool NonDecimal(UnitReading& r, Parameter& p) {
        ++pos_;
        if (AtEnd()) return Failed(r, error::SYNTAX, "# at the end");
        if (IsDigit(Peek())) return Block(r, p);
        const char base = Upper(Peek());
        const unsigned radix = base == 'H' ? 16 : base == 'Q' ? 8 : base == 'B' ? 2 : 0;
        if (radix == 0) {
            // Built by appending: GCC 12 at -O3 takes a concatenated one-character string for an overlapping copy.
            std::string detail = "#";
            detail += Peek();
            detail += " starts no data";
            return Failed(r, error::SYNTAX, detail);
        }
        ++pos_;
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (; !AtEnd(); ++pos_, ++digits) {
            const char c = Upper(Peek());
            const unsigned d = IsDigit(c) ? static_cast<unsigned>(c - '0')
                               : (c >= 'A' && c <= 'F') ? static_cast<unsigned>(c - 'A' + 10) : 99;
            if (d >= radix) break;
            if (value > (UINT64_MAX >> 4)) return Failed(r, error::NUMERIC_DATA, "the number is too large");
            value = value * radix + d;
        }
        if (digits == 0) {
            std::string detail = "no digits after #";
            detail += base;
            return Failed(r, error::NUMERIC_DATA, detail);
        }
        p.kind = Parameter::Kind::Number;
        p.text = std::to_string(value);
        return true;
    }

    bool Number(UnitReading& r, Parameter& p) {
        const std::size_t start = pos_;
        if (Peek() == '+' || Peek() == '-') ++pos_;
        std::size_t digits = 0;
        for (; !AtEnd() && IsDigit(Peek()); ++pos_) ++digits;
        if (!AtEnd() && Peek() == '.') {
            ++pos_;
            for (; !AtEnd() && IsDigit(Peek()); ++pos_) ++digits;
        }
        if (digits == 0) return Failed(r, error::NUMERIC_DATA, "a number has no digits at " + std::string(text_.substr(start, 16)));
        p.kind = Parameter::Kind::Number;
        p.text = std::string(text_.substr(start, pos_ - start));
        // An exponent: E, an optional sign and digits, with optional white space before and after the E (an E
        // followed by anything else starts a suffix).
        std::size_t e = pos_;
        while (e < text_.size() && IsSpace(text_[e])) ++e;
        if (e < text_.size() && Upper(text_[e]) == 'E') {
            std::size_t at = e + 1;
            while (at < text_.size() && IsSpace(text_[at])) ++at;
            bool negative = false;
            if (at < text_.size() && (text_[at] == '+' || text_[at] == '-')) negative = text_[at++] == '-';
            if (at < text_.size() && IsDigit(text_[at])) {
                long exponent = 0;
                for (; at < text_.size() && IsDigit(text_[at]); ++at)
                    if (exponent < MAX_EXPONENT) exponent = exponent * 10 + (text_[at] - '0');
                p.exponent = negative ? -exponent : exponent;
                pos_ = at;
            }
        }
        // A suffix, after optional white space.
        std::size_t at = pos_;
        while (at < text_.size() && IsSpace(text_[at])) ++at;
        if (at < text_.size() && IsAlpha(text_[at])) {
            const std::size_t suffixStart = at;
            while (at < text_.size() && (IsAlpha(text_[at]) || IsDigit(text_[at]) || text_[at] == '/')) ++at;
            const std::string_view suffix = text_.substr(suffixStart, at - suffixStart);
            if (suffix.size() > MAX_MNEMONIC) return Failed(r, error::INVALID_SUFFIX, std::string(suffix));
            p.suffix = UpperText(suffix);
            pos_ = at;
        }
        return true;
    }

    std::string_view text_;
    std::size_t& pos_;
};

}  // namespace

UnitReading ReadUnit(std::string_view message, std::size_t& pos) { return Reader(message, pos).Unit(); }

bool KeywordMatches(std::string_view written, std::string_view spelling) {
    std::size_t shortLength = 0;
    while (shortLength < spelling.size() && !(spelling[shortLength] >= 'a' && spelling[shortLength] <= 'z'))
        ++shortLength;
    const auto same = [&written](std::string_view form) {
        if (written.size() != form.size()) return false;
        for (std::size_t i = 0; i < form.size(); ++i)
            if (Upper(written[i]) != Upper(form[i])) return false;
        return true;
    };
    return same(spelling.substr(0, shortLength)) || same(spelling);
}

double ScaledValue(const Parameter& number, int shift) {
    const std::string text = number.text + "e" + std::to_string(number.exponent + shift);
    // The lexer admits only what the window's conversion takes, so this always has a value.
    return ParseFrequencyText(text).value_or(0.0);
}

std::optional<int> SuffixExponent(std::string_view suffix, std::initializer_list<UnitWord> units) {
    static constexpr UnitWord MULTIPLIERS[] = {{"EX", 18}, {"PE", 15}, {"T", 12}, {"G", 9},    {"MA", 6},  {"K", 3},
                                               {"M", -3},  {"U", -6},  {"N", -9}, {"P", -12}, {"F", -15}, {"A", -18}};
    const auto multiplier = [](std::string_view word) -> std::optional<int> {
        for (const UnitWord& m : MULTIPLIERS)
            if (word == m.word) return m.exponent;
        return std::nullopt;
    };
    if (suffix.empty()) return units.begin()->exponent;
    for (const UnitWord& u : units)
        if (suffix == u.word) return u.exponent;
    for (const UnitWord& u : units) {
        const std::string_view word(u.word);
        if (suffix.size() > word.size() && suffix.substr(suffix.size() - word.size()) == word)
            if (const auto m = multiplier(suffix.substr(0, suffix.size() - word.size()))) return *m + u.exponent;
    }
    if (const auto m = multiplier(suffix)) return *m + units.begin()->exponent;
    return std::nullopt;
}

}  // namespace tarvo::scpi
