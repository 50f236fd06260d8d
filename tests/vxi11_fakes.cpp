// Small stand-ins for the SCPI language's session and lock, so that the VXI-11 tests check the protocol's bytes
// alone: a session that answers each query with "R:<query>" and notes every message it ran, and a lock with
// the declared rules.
#include "vxi11_fakes.h"

#include <algorithm>

namespace tarvo::scpi {

std::vector<std::string> fakeMessagesRun;
int fakeDeviceClears = 0;

class ScpiSession::Impl {
public:
    Impl(InstrumentLock& lock) : lock(lock), id(lock.NewSession()) {}
    InstrumentLock& lock;
    SessionId id;
};

ScpiSession::ScpiSession(Instruments&, InstrumentLock& lock) : impl_(std::make_unique<Impl>(lock)) {}
ScpiSession::~ScpiSession() { impl_->lock.ReleaseAll(impl_->id); }
SessionId ScpiSession::Id() const { return impl_->id; }

std::string ScpiSession::RunMessage(std::string_view message) {
    fakeMessagesRun.emplace_back(message);
    if (message.find('?') == std::string_view::npos) return {};
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    return "R:" + std::string(message) + "\n";
}

void ScpiSession::DeviceClear() { ++fakeDeviceClears; }
std::uint8_t ScpiSession::StatusByte(bool answerWaiting) const { return answerWaiting ? 0x10 : 0; }

bool InstrumentLock::TryExclusive(SessionId session) {
    if (exclusive_ && *exclusive_ != session) return false;
    if (!sharers_.empty() && !(sharers_.size() == 1 && sharers_.count(session))) return false;
    exclusive_ = session;
    return true;
}

bool InstrumentLock::TryShared(SessionId session, const std::string& key) {
    if (exclusive_ && *exclusive_ != session) return false;
    if (!sharers_.empty() && sharers_.begin()->second != key) return false;
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
    waiting_.erase(session);
    const bool exclusive = exclusive_ == session;
    if (exclusive) exclusive_.reset();
    if ((sharers_.erase(session) != 0) || exclusive) Released();
}

bool InstrumentLock::Permits(SessionId session) const {
    if (exclusive_) return *exclusive_ == session;
    return sharers_.empty() || sharers_.count(session) != 0;
}

void InstrumentLock::Wait(SessionId session, std::function<void()> retry) { waiting_[session] = std::move(retry); }
void InstrumentLock::StopWaiting(SessionId session) { waiting_.erase(session); }

void InstrumentLock::Released() {
    const auto waiting = waiting_;
    for (const auto& [session, retry] : waiting) retry();
}

}  // namespace tarvo::scpi
