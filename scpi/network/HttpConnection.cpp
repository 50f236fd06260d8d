#include "HttpConnection.h"

namespace tarvo::scpi {

HttpConnection::HttpConnection(WebSite& site, const net::Endpoint& local, HttpLimits limits)
    : site_(site), local_(local), reader_(limits) {}

std::string HttpConnection::TimeoutAnswer() {
    HttpResponse response;
    response.status = 408;
    response.contentType = "text/plain; charset=utf-8";
    response.body = "The request was not finished in time.\n";
    response.close = true;
    return WriteResponse(response, false);
}

Reply HttpConnection::Receive(std::string_view bytes) {
    if (closed_) return Reply({}, true);
    reader_.Add(bytes);
    std::string out;
    HttpRequest request;
    for (int answered = 0;; ++answered) {
        // A client that sends many requests at once (no browser does) gets the first ones answered, then the
        // connection closes: what one read can make the server write stays bounded.
        if (answered == MAX_REQUESTS_AT_ONCE && reader_.Pending()) {
            if (log) log("more than " + std::to_string(MAX_REQUESTS_AT_ONCE) + " requests at once; closing");
            closed_ = true;
            return Reply(std::move(out), true);
        }
        const HttpRequestReader::Outcome outcome = reader_.Next(request);
        if (outcome == HttpRequestReader::Outcome::NeedMore) return Reply(std::move(out), false);
        if (outcome == HttpRequestReader::Outcome::Refused) {
            if (log) log("refused: " + reader_.RefusedWhy());
            HttpResponse response;
            response.status = reader_.RefusedStatus();
            response.contentType = "text/plain; charset=utf-8";
            response.body = reader_.RefusedWhy() + "\n";
            response.close = true;
            closed_ = true;
            return Reply(out + WriteResponse(response, false), true);
        }
        HttpResponse response = site_.Answer(request, local_);
        if (!request.KeepAlive()) response.close = true;
        out += WriteResponse(response, request.method == "HEAD");
        if (response.close) {
            closed_ = true;
            return Reply(std::move(out), true);
        }
    }
}

}  // namespace tarvo::scpi
