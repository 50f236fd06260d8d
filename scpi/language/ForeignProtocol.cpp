#include "ForeignProtocol.h"

#include <cstring>

namespace tarvo::scpi {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// An HTTP token character (a method's, a header name's).
bool IsTokenChar(char c) { return IsAlpha(c) || IsDigit(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c)); }

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i)
        if (Lower(text[i]) != Lower(start[i])) return false;
    return true;
}

// METHOD SP target SP HTTP/d[.d]
bool IsRequestLine(std::string_view line) {
    std::size_t at = 0;
    while (at < line.size() && IsTokenChar(line[at])) ++at;
    if (at == 0 || at >= line.size() || line[at] != ' ') return false;
    const std::size_t target = ++at;
    while (at < line.size() && line[at] > ' ' && line[at] != 0x7F) ++at;
    if (at == target || at >= line.size() || line[at] != ' ') return false;
    const std::string_view version = line.substr(at + 1);
    if (version.substr(0, 5) != "HTTP/") return false;
    std::size_t v = 5;
    if (v >= version.size() || !IsDigit(version[v])) return false;
    while (v < version.size() && IsDigit(version[v])) ++v;
    if (v < version.size() && version[v] == '.') {
        ++v;
        if (v >= version.size() || !IsDigit(version[v])) return false;
        while (v < version.size() && IsDigit(version[v])) ++v;
    }
    return v == version.size();
}

bool IsBrowserHeaderLine(std::string_view line) {
    static constexpr std::string_view NAMES[] = {"host",       "origin",  "user-agent", "content-type",
                                                 "content-length", "connection", "upgrade"};
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    // Browsers write ": " (or nothing after the colon); a SCPI header goes on right after its colon.
    if (colon + 1 < line.size() && line[colon + 1] != ' ' && line[colon + 1] != '\t') return false;
    const std::string_view name = line.substr(0, colon);
    for (const std::string_view known : NAMES)
        if (name.size() == known.size() && StartsWithNoCase(name, known)) return true;
    if (name.size() <= 4 || !StartsWithNoCase(name, "sec-")) return false;
    for (const char c : name)
        if (!IsTokenChar(c)) return false;
    return true;
}

}  // namespace

bool IsForeignProtocolLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return IsRequestLine(line) || IsBrowserHeaderLine(line);
}

}  // namespace tarvo::scpi
