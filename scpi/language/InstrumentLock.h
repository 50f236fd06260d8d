// The one lock on the generators, shared by every session of every protocol (VXI-11's device_lock, HiSLIP's
// AsyncLock). A session that holds it exclusively is the only one whose commands reach a generator; sessions
// that share it (one key) are the only ones while they hold it. A session that holds nothing may use the
// generators only while nobody holds the lock. Waiting for it is the transports' business: they ask again when
// told that it was released. Used from the server's one thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tarvo::scpi {

using SessionId = unsigned;

class InstrumentLock {
public:
    // Takes the exclusive lock for `session`: granted when no other session holds the lock in any way (a
    // session that shares it may take it exclusively when it is the only sharer). Granting it again to its
    // holder changes nothing.
    bool TryExclusive(SessionId session);
    // Joins the shared lock under `key` (or changes the key of a session that shares it): granted when no other
    // session holds it exclusively and the other sharers, if any, use the same key.
    bool TryShared(SessionId session, const std::string& key);
    // Gives up the exclusive lock (false when `session` did not hold it); the shared one stays.
    bool ReleaseExclusive(SessionId session);
    // Gives up the shared lock (false when `session` did not share it).
    bool ReleaseShared(SessionId session);
    // Both, when the session ends. Safe for a session that holds nothing.
    void ReleaseAll(SessionId session);

    bool HoldsExclusive(SessionId session) const { return exclusive_ == session; }
    bool HoldsShared(SessionId session) const { return sharers_.count(session) != 0; }
    // Whether `session`'s commands may reach the generators now.
    bool Permits(SessionId session) const;
    // The exclusive holder, if any; the number of sharers.
    std::optional<SessionId> ExclusiveHolder() const { return exclusive_; }
    std::size_t Sharers() const { return sharers_.size(); }

    // Called once after each release that may let a waiting request through, with the sessions waiting
    // registered below. A transport registers while it has a request waiting, and forgets its session when
    // the request is served, fails or its connection closes.
    void Wait(SessionId session, std::function<void()> retry);
    void StopWaiting(SessionId session);

    // A fresh session number, never 0 and never repeated in a run.
    SessionId NewSession() { return ++lastSession_; }

private:
    void Released();

    std::optional<SessionId> exclusive_;
    std::map<SessionId, std::string> sharers_;  // session -> the key it shares under
    std::map<SessionId, std::function<void()>> waiting_;
    SessionId lastSession_ = 0;
};

}  // namespace tarvo::scpi
