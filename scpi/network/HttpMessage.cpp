#include "HttpMessage.h"

#include <algorithm>
#include <array>

namespace tarvo::scpi {
namespace {

constexpr std::array<std::string_view, 9> METHODS = {"GET",     "HEAD",  "POST",  "PUT",  "DELETE",
                                                     "OPTIONS", "TRACE", "PATCH", "CONNECT"};
constexpr std::size_t LONGEST_METHOD = 7;

bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The start of what was received may still become a known method followed by a space; false as soon as it
// cannot (SCPI, HiSLIP or VXI-11 bytes fail on their first bytes).
bool MayStartRequestLine(std::string_view start) {
    const std::size_t space = start.find(' ');
    const std::string_view token = start.substr(0, std::min(space, start.size()));
    if (token.size() > LONGEST_METHOD) return false;
    for (std::string_view method : METHODS) {
        if (space == std::string_view::npos ? method.substr(0, token.size()) == token : method == token) return true;
    }
    return false;
}

// A number of at most nine decimal digits; nothing for anything else.
std::optional<std::size_t> Digits(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

}  // namespace

std::optional<std::string_view> HttpRequest::Header(std::string_view lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName) return std::string_view(value);
    return std::nullopt;
}

bool HttpRequest::KeepAlive() const {
    if (minorVersion == 0) return false;
    const auto connection = Header("connection");
    return !connection || Lower(*connection).find("close") == std::string::npos;
}

void HttpRequestReader::Add(std::string_view bytes) {
    if (refusedStatus_ != 0) return;
    buffer_.append(bytes);
}

HttpRequestReader::Outcome HttpRequestReader::Refuse(int status, std::string why) {
    refusedStatus_ = status;
    refusedWhy_ = std::move(why);
    buffer_.clear();
    buffer_.shrink_to_fit();
    return Outcome::Refused;
}

HttpRequestReader::Outcome HttpRequestReader::ReadRequestLine(std::string_view line, HttpRequest& request) {
    // METHOD SP target SP HTTP/1.x
    const std::size_t space1 = line.find(' ');
    const std::size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string_view::npos || line.find(' ', space2 + 1) != std::string_view::npos)
        return Refuse(400, "malformed request line");
    request.method = std::string(line.substr(0, space1));
    const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
    const std::string_view version = line.substr(space2 + 1);
    if (version == "HTTP/1.1") {
        request.minorVersion = 1;
    } else if (version == "HTTP/1.0") {
        request.minorVersion = 0;
    } else if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && version[6] == '.') {
        return Refuse(505, "HTTP version not supported");
    } else {
        return Refuse(400, "malformed request line");
    }
    if (target.empty() || target.front() != '/') return Refuse(400, "request target is not a path");
    for (char c : target)
        if (c <= 0x20 || c >= 0x7F || c == '#') return Refuse(400, "malformed request target");
    const std::size_t question = target.find('?');
    request.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) request.query = std::string(target.substr(question + 1));
    return Outcome::Request;
}

HttpRequestReader::Outcome HttpRequestReader::Next(HttpRequest& request) {
    if (refusedStatus_ != 0) return Outcome::Refused;
    // Empty lines before a request line are skipped (some clients end a body with an extra CRLF).
    const std::size_t first = buffer_.find_first_not_of("\r\n");
    buffer_.erase(0, std::min(first, buffer_.size()));
    if (buffer_.empty()) return Outcome::NeedMore;
    if (!MayStartRequestLine(std::string_view(buffer_).substr(0, LONGEST_METHOD + 1)))
        return Refuse(400, "not an HTTP request");

    // The head: lines up to the first empty one. The request line is checked as soon as it is whole.
    HttpRequest parsed;
    std::vector<std::string_view> lines;
    std::size_t position = 0;
    std::size_t headEnd = 0;
    for (;;) {
        const std::size_t newline = buffer_.find('\n', position);
        if (newline == std::string::npos) {
            if (buffer_.size() > limits_.headBytes)
                return Refuse(431, "request head longer than " + std::to_string(limits_.headBytes) + " bytes");
            return Outcome::NeedMore;
        }
        if (newline + 1 > limits_.headBytes)
            return Refuse(431, "request head longer than " + std::to_string(limits_.headBytes) + " bytes");
        std::string_view line(buffer_.data() + position, newline - position);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        position = newline + 1;
        if (line.empty()) {
            headEnd = position;
            break;
        }
        if (lines.empty()) {
            if (const Outcome outcome = ReadRequestLine(line, parsed); outcome == Outcome::Refused) return outcome;
        } else if (lines.size() > limits_.headerCount) {
            return Refuse(431, "more than " + std::to_string(limits_.headerCount) + " header lines");
        }
        lines.push_back(line);
    }

    // Header lines: name ":" value, the name a token, no folding, no control characters.
    std::optional<std::size_t> contentLength;
    bool host = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos) return Refuse(400, "malformed header line");
        const std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsTokenChar)) return Refuse(400, "malformed header line");
        const std::string_view value = Trim(line.substr(colon + 1));
        for (char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                return Refuse(400, "control character in a header");
        std::string lowerName = Lower(name);
        if (lowerName == "host") {
            if (host) return Refuse(400, "more than one Host header");
            host = true;
        } else if (lowerName == "transfer-encoding") {
            return Refuse(501, "only bodies with a Content-Length are accepted");
        } else if (lowerName == "content-length") {
            const auto length = Digits(value);
            if (!length || (contentLength && *contentLength != *length)) return Refuse(400, "malformed Content-Length");
            contentLength = length;
        }
        parsed.headers.emplace_back(std::move(lowerName), std::string(value));
    }
    if (parsed.minorVersion == 1 && !host) return Refuse(400, "no Host header");

    const std::size_t bodyLength = contentLength.value_or(0);
    if (bodyLength > limits_.bodyBytes)
        return Refuse(413, "body longer than " + std::to_string(limits_.bodyBytes) + " bytes");
    if (buffer_.size() - headEnd < bodyLength) return Outcome::NeedMore;
    parsed.body = buffer_.substr(headEnd, bodyLength);
    buffer_.erase(0, headEnd + bodyLength);
    request = std::move(parsed);
    return Outcome::Request;
}

std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 423: return "Locked";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

std::string WriteResponse(const HttpResponse& response, bool headRequest) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + std::string(ReasonPhrase(response.status)) + "\r\n";
    if (!response.contentType.empty()) out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    // Nothing is cached (the values change), nothing is guessed from the body, and no other site may frame the
    // pages or load anything into them from elsewhere.
    out += "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "X-Frame-Options: DENY\r\n"
           "Referrer-Policy: no-referrer\r\n"
           "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; form-action 'self'; base-uri 'none'\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    if (response.close) out += "Connection: close\r\n";
    out += "\r\n";
    if (!headRequest) out += response.body;
    return out;
}

}  // namespace tarvo::scpi
