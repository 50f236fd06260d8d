// One SCPI connection: its input buffer, current header path, error queue and status registers. Bytes in,
// bytes out; it knows nothing of sockets. Generators are reached through the shared GeneratorBench.
#pragma once

#include "scpi/device/GeneratorBench.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarvo::scpi {

// The longest message line kept, terminator not counted. A longer line queues -363 "Input buffer overrun" once,
// none of it runs, and the rest of it is discarded up to its terminator.
inline constexpr std::size_t MAX_LINE_BYTES = 8192;

class ScpiSession {  // one per connection
public:
    explicit ScpiSession(GeneratorBench& bench);
    ~ScpiSession();
    ScpiSession(const ScpiSession&) = delete;
    ScpiSession& operator=(const ScpiSession&) = delete;

    // Takes bytes as they arrive (any split, any merge); runs every message completed by them, in order; returns
    // the bytes to send: zero or more whole response lines, each ending in one LF. Never throws. A message ends
    // at LF or CR (CR LF ends one); an incomplete one waits for more bytes.
    std::string Receive(std::string_view bytes);

    // With -v: called with one line for each message run and each error queued (no trailing LF).
    std::function<void(const std::string&)> log;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::scpi
