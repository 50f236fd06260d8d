// One HTTP connection: the bytes a client sends in, the answers of the web site out. Requests follow one
// another on a kept-alive connection; one that is refused (not HTTP, too large, malformed) gets its error status
// and the connection closes, so bytes of another protocol never reach the site. The server's handler glue
// (HttpHandlerFactory) adds the time limits on an unfinished request and on an idle connection.
#pragma once

#include "HttpMessage.h"
#include "Server.h"
#include "WebSite.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tarvo::scpi {

class HttpConnection {
public:
    // Requests answered from one read of the client's bytes.
    static constexpr int MAX_REQUESTS_AT_ONCE = 16;

    HttpConnection(WebSite& site, const net::Endpoint& local, HttpLimits limits = {});

    // The answers to every request completed by these bytes; closes after a refusal or a request that does not
    // keep the connection alive. Nothing more is answered once closed.
    Reply Receive(std::string_view bytes);
    // A request has begun and is not whole yet.
    bool Pending() const { return !closed_ && reader_.Pending(); }
    // What a client that took too long to finish its request is told before the connection closes.
    static std::string TimeoutAnswer();

    // Called with one line for each refused request.
    std::function<void(const std::string&)> log;

private:
    WebSite& site_;
    net::Endpoint local_;
    HttpRequestReader reader_;
    bool closed_ = false;
};

// How long a client has to finish a request once it began it, and how long a kept-alive connection may wait
// with no request begun. Idle connections are closed because the server's connection slots are shared with the
// instrument clients of every protocol; a browser opens a new connection when it needs one.
struct HttpTimeouts {
    std::chrono::milliseconds request{10'000};
    std::chrono::milliseconds idle{60'000};
};

// One HttpConnection per connection of an "http" listener, with one timer: while a request is unfinished, its
// firing sends 408 and closes the connection; while none is begun, its firing closes the connection quietly.
// Bytes of an unfinished request do not restart its clock. The other connections are not held up.
HandlerFactory HttpHandlerFactory(WebSite& site, HttpTimeouts timeouts, std::function<void(const std::string&)> log);

}  // namespace tarvo::scpi
