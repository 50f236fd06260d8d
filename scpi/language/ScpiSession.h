// One SCPI session: its current header path, error queue and status registers, the generator it works with.
// Every transport drives one per client session: the raw socket through Receive (bytes as they arrive),
// VXI-11 and HiSLIP through RunMessage (whole messages, ended by the protocol). It knows nothing of sockets;
// it reaches the generators through Instruments, and only while the shared lock permits.
#pragma once

#include "InstrumentLock.h"
#include "Instruments.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarvo::scpi {

// The longest message kept, terminator not counted. A longer one queues -363 "Input buffer overrun" once, none
// of it runs, and the rest of it is discarded up to its end.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 8192;
inline constexpr std::size_t MAX_LINE_BYTES = MAX_MESSAGE_BYTES;

class ScpiSession {
public:
    // Takes a session number of its own from the lock; gives up whatever it holds of the lock, and its waiting,
    // when it goes. Both must outlive it.
    ScpiSession(Instruments& instruments, InstrumentLock& lock);
    ~ScpiSession();
    ScpiSession(const ScpiSession&) = delete;
    ScpiSession& operator=(const ScpiSession&) = delete;

    SessionId Id() const;

    // The raw socket: takes bytes as they arrive (any split, any merge); runs every message completed by them,
    // in order; returns the bytes to send: zero or more whole response messages, each ending in one LF. A
    // message ends at LF or CR (CR LF ends one), except inside definite-length block data (#<n><length>...),
    // which is data whatever bytes it holds; an incomplete message waits for more bytes. Never throws.
    //
    // A line of another protocol (an HTTP request line, or a header line every browser sends: see
    // IsForeignProtocolLine) is not SCPI: it and everything after it are dropped, now and in later calls, and
    // ForeignProtocol() tells the transport to close the connection.
    std::string Receive(std::string_view bytes);
    // The line that ended this session as another protocol's (empty while none did); at most 200 characters,
    // shown as log lines show bytes.
    bool ForeignProtocol() const;
    const std::string& ForeignLine() const;

    // Runs one whole message whose end the transport decided (VXI-11's END, HiSLIP's DataEnd; a trailing LF
    // is taken as its terminator). Returns its response message ending in LF, or nothing when it has no query.
    // An LF inside it, outside block data, still ends a message, as on any IEEE 488.2 transport: each such
    // message then answers its own line. Input that Receive holds is neither run nor disturbed.
    std::string RunMessage(std::string_view message);

    // IEEE 488.2 device clear: the input not yet run is dropped (the transport drops the output it holds).
    void DeviceClear();
    // The IEEE 488.2 status byte; `answerWaiting` (MAV) when the transport holds a response not yet read.
    std::uint8_t StatusByte(bool answerWaiting) const;

    // With -v: called with one line for each message run and each error queued (no trailing LF).
    std::function<void(const std::string&)> log;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::scpi
