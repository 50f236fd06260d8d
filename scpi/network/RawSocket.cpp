#include "RawSocket.h"

#include "scpi/language/ScpiSession.h"

#include <memory>

namespace tarvo::scpi {

HandlerFactory RawSocketConnections(Instruments& instruments, InstrumentLock& lock,
                                    std::function<void(const std::string&)> log, bool verbose) {
    return [&instruments, &lock, log, verbose](const ConnectionInfo& connection) -> ConnectionHandler {
        auto session = std::make_shared<ScpiSession>(instruments, lock);
        // Built by appending: GCC 12 at -O3 takes a concatenation with a short literal for an overlapping copy.
        std::string number = "[";
        number.append(std::to_string(connection.number)).append("] ");
        if (verbose && log) session->log = [log, number](const std::string& text) { log(number + text); };
        return [session, log, peer = connection.peer](std::string_view bytes) -> Reply {
            Reply reply(session->Receive(bytes));
            if (session->ForeignProtocol()) {
                if (log)
                    log("connection from " + peer + " closed: it sent another protocol's line, not SCPI (\"" +
                        session->ForeignLine() + "\"); nothing of it ran");
                reply.close = true;
            }
            return reply;
        };
    };
}

}  // namespace tarvo::scpi
