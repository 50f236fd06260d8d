#include "InstrumentLock.h"

#include <vector>

namespace tarvo::scpi {

bool InstrumentLock::TryExclusive(SessionId session) {
    if (exclusive_) return *exclusive_ == session;
    if (!sharers_.empty() && !(sharers_.size() == 1 && sharers_.count(session) != 0)) return false;
    exclusive_ = session;
    return true;
}

bool InstrumentLock::TryShared(SessionId session, const std::string& key) {
    if (exclusive_ && *exclusive_ != session) return false;
    for (const auto& [sharer, sharedKey] : sharers_)
        if (sharer != session && sharedKey != key) return false;
    sharers_[session] = key;
    return true;
}

bool InstrumentLock::ReleaseExclusive(SessionId session) {
    if (exclusive_ != session) return false;
    exclusive_.reset();
    Released();
    return true;
}

bool InstrumentLock::ReleaseShared(SessionId session) {
    if (sharers_.erase(session) == 0) return false;
    Released();
    return true;
}

void InstrumentLock::ReleaseAll(SessionId session) {
    bool released = sharers_.erase(session) != 0;
    if (exclusive_ == session) {
        exclusive_.reset();
        released = true;
    }
    if (released) Released();
}

bool InstrumentLock::Permits(SessionId session) const {
    if (exclusive_) return *exclusive_ == session;
    return sharers_.empty() || sharers_.count(session) != 0;
}

void InstrumentLock::Wait(SessionId session, std::function<void()> retry) { waiting_[session] = std::move(retry); }

void InstrumentLock::StopWaiting(SessionId session) { waiting_.erase(session); }

void InstrumentLock::Released() {
    // A retry may take the lock, wait again or stop another session's waiting: each session waiting now is
    // asked once, if it still waits when its turn comes.
    std::vector<SessionId> sessions;
    for (const auto& entry : waiting_) sessions.push_back(entry.first);
    for (const SessionId session : sessions) {
        const auto found = waiting_.find(session);
        if (found == waiting_.end()) continue;
        const std::function<void()> retry = found->second;  // the call may replace or erase the entry
        if (retry) retry();
    }
}

}  // namespace tarvo::scpi
