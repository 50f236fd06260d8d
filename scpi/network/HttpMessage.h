// The small part of HTTP/1.1 the server's web page needs: requests read from bytes as they arrive (a request
// line, header lines, a body of Content-Length bytes; no chunked bodies), and responses written out. Every part
// of a request is bounded, and bytes that do not start an HTTP request line are refused at once, so another
// protocol's bytes never pass for a request.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::scpi {

struct HttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // the target up to '?', as sent (no percent-decoding)
    std::string query;   // after '?', empty when none
    int minorVersion = 1;  // HTTP/1.0 or HTTP/1.1
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, values trimmed
    std::string body;

    // The value of the first header of that name (lower case); nothing when it is absent.
    std::optional<std::string_view> Header(std::string_view lowerName) const;
    // Whether the connection stays open after the answer (HTTP/1.1 unless "Connection: close"; HTTP/1.0 never).
    bool KeepAlive() const;
};

struct HttpLimits {
    std::size_t headBytes = 8192;  // the request line and header lines together
    std::size_t headerCount = 64;
    std::size_t bodyBytes = 4096;
};

class HttpRequestReader {
public:
    explicit HttpRequestReader(HttpLimits limits = {}) : limits_(limits) {}

    enum class Outcome {
        NeedMore,  // no whole request yet
        Request,   // Next's `request` holds one; call again for a pipelined one
        Refused,   // the bytes are not an acceptable request: answer `status` and close; nothing more is read
    };
    // Appends bytes as they arrive (any split). Ignored once a request was refused.
    void Add(std::string_view bytes);
    // Takes the next whole request from what was added.
    Outcome Next(HttpRequest& request);
    // Refused: the status to answer (400, 413, 431, 501, 505) and why, for the log and the answer's text.
    int RefusedStatus() const { return refusedStatus_; }
    const std::string& RefusedWhy() const { return refusedWhy_; }
    // Bytes of a request not yet whole are held (a client that started a request and has not finished it).
    bool Pending() const { return !buffer_.empty() && refusedStatus_ == 0; }

private:
    Outcome Refuse(int status, std::string why);
    // Request when the line is a request line (its parts go into `request`), else Refused.
    Outcome ReadRequestLine(std::string_view line, HttpRequest& request);

    HttpLimits limits_;
    std::string buffer_;
    int refusedStatus_ = 0;
    std::string refusedWhy_;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;  // empty: no body type (and no body)
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // besides those every response carries
    bool close = false;                                        // "Connection: close", then the server closes
};

// The standard reason phrase of the statuses the server answers.
std::string_view ReasonPhrase(int status);
// The status line, the headers (Content-Length always, and the hardening headers every answer carries) and the
// body, left out for HEAD.
std::string WriteResponse(const HttpResponse& response, bool headRequest);

}  // namespace tarvo::scpi
