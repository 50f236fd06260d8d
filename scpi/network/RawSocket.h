// The raw socket (SCPI-RAW, port 5025): one SCPI session per connection, messages ended by LF. A connection
// that speaks another protocol, a browser's HTTP request above all, is closed at once and nothing of it runs:
// a web page the user visits must not be able to set the generator through the user's own browser.
#pragma once

#include "Server.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/language/Instruments.h"

#include <functional>
#include <string>

namespace tarvo::scpi {

// `log` is told once of each connection closed for another protocol's bytes, with the peer's address; with
// `verbose` also of each message run and each error queued, prefixed with the connection's number.
HandlerFactory RawSocketConnections(Instruments& instruments, InstrumentLock& lock,
                                    std::function<void(const std::string&)> log, bool verbose);

}  // namespace tarvo::scpi
