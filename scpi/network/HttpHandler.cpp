// The glue between the server's connections and HttpConnection: the request and idle timer.
#include "HttpConnection.h"

#include <memory>

namespace tarvo::scpi {
namespace {

// The connection's one timer and what it is running for.
struct HttpTimer {
    ConnectionOutlet::TimerId id = 0;
    bool forRequest = false;
};

}  // namespace

HandlerFactory HttpHandlerFactory(WebSite& site, HttpTimeouts timeouts, std::function<void(const std::string&)> log) {
    return [&site, timeouts, log](const ConnectionInfo& info) -> ConnectionHandler {
        auto connection = std::make_shared<HttpConnection>(site, info.local);
        const std::string peer = info.peer;
        if (log) connection->log = [log, peer](const std::string& line) { log("http " + peer + ": " + line); };
        auto timer = std::make_shared<HttpTimer>();
        std::weak_ptr<ConnectionOutlet> weakOutlet = info.outlet;

        // Starts the timer for what the connection waits for now: the rest of a request, or the next one.
        auto start = [timer, weakOutlet, timeouts, log, peer](ConnectionOutlet& outlet, bool forRequest) {
            timer->forRequest = forRequest;
            timer->id = outlet.After(forRequest ? timeouts.request : timeouts.idle,
                                     [timer, weakOutlet, forRequest, log, peer] {
                timer->id = 0;
                const std::shared_ptr<ConnectionOutlet> late = weakOutlet.lock();
                if (!late) return;
                if (forRequest) {
                    if (log) log("http " + peer + ": request not finished in time");
                    late->Send(HttpConnection::TimeoutAnswer());
                }
                late->Close();
            });
        };
        if (info.outlet) start(*info.outlet, false);

        return [connection, timer, weakOutlet, start](std::string_view bytes) -> Reply {
            Reply reply = connection->Receive(bytes);
            const std::shared_ptr<ConnectionOutlet> outlet = weakOutlet.lock();
            if (!outlet) return reply;
            const bool pending = connection->Pending();
            // A request begun keeps the clock it started with; anything else starts the timer afresh.
            const bool keep = timer->id != 0 && timer->forRequest && pending && reply.bytes.empty() && !reply.close;
            if (keep) return reply;
            if (timer->id != 0) outlet->Cancel(timer->id);
            timer->id = 0;
            if (!reply.close) start(*outlet, pending);
            return reply;
        };
    };
}

}  // namespace tarvo::scpi
