// What a session's commands work on: its status, the generator it chose, the header running, and the way to
// the generators, through the shared lock.
#pragma once

#include "InstrumentLock.h"
#include "Instruments.h"
#include "ScpiSyntax.h"
#include "StatusRegisters.h"

#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi {

class SessionState {
public:
    SessionState(Instruments& instruments, InstrumentLock& lock)
        : instruments(instruments), lock(lock), id(lock.NewSession()) {}

    // The generator a request goes to, when the lock lets this session reach it: -200 when another session
    // holds the lock; otherwise the one chosen, or the default one (kept), or the error that says why there is
    // none.
    std::optional<std::string> Target();
    // The generator chosen or the default one (kept), whatever the lock; the error when there is none.
    std::optional<std::string> Generator();
    // Queues the error of a request that did not succeed; true when it did.
    bool Reached(const InstrumentResult& result);
    // The target's status report, or nothing with the error queued.
    std::optional<DeviceStatus> Status();

    Instruments& instruments;
    InstrumentLock& lock;
    const SessionId id;
    SessionStatus status;
    std::optional<std::string> serial;  // the generator chosen
    std::vector<Mnemonic> words;        // the running compound header's keywords, from the root
};

}  // namespace tarvo::scpi
