// A small stand-in for the SCPI language's session, so that the VXI-11 tests check the protocol's bytes alone:
// a session that answers each query with "R:<query>" and notes every message it ran. The lock is the real one.
#include "vxi11_fakes.h"


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

}  // namespace tarvo::scpi
