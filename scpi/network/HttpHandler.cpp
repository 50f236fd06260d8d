// The glue between the server's connections and HttpConnection: the request timer.
#include "HttpConnection.h"

#include <memory>

namespace tarvo::scpi {

HandlerFactory HttpHandlerFactory(WebSite& site, std::chrono::milliseconds requestTimeout,
                                  std::function<void(const std::string&)> log) {
    return [&site, requestTimeout, log](const ConnectionInfo& info) -> ConnectionHandler {
        auto connection = std::make_shared<HttpConnection>(site, info.local);
        const std::string peer = info.peer;
        if (log) connection->log = [log, peer](const std::string& line) { log("http " + peer + ": " + line); };
        auto timer = std::make_shared<ConnectionOutlet::TimerId>(0);
        std::weak_ptr<ConnectionOutlet> weakOutlet = info.outlet;
        return [connection, timer, weakOutlet, requestTimeout, log, peer](std::string_view bytes) -> Reply {
            Reply reply = connection->Receive(bytes);
            const std::shared_ptr<ConnectionOutlet> outlet = weakOutlet.lock();
            if (!outlet) return reply;
            // A request answered starts the next one's clock afresh.
            if (*timer != 0 && (!reply.bytes.empty() || reply.close || !connection->Pending())) {
                outlet->Cancel(*timer);
                *timer = 0;
            }
            if (*timer == 0 && connection->Pending() && !reply.close) {
                *timer = outlet->After(requestTimeout, [weakOutlet, timer, log, peer] {
                    *timer = 0;
                    const std::shared_ptr<ConnectionOutlet> late = weakOutlet.lock();
                    if (!late) return;
                    if (log) log("http " + peer + ": request not finished in time");
                    late->Send(HttpConnection::TimeoutAnswer());
                    late->Close();
                });
            }
            return reply;
        };
    };
}

}  // namespace tarvo::scpi
