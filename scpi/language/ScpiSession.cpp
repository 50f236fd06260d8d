#include "ScpiSession.h"

#include "Commands.h"
#include "ErrorQueue.h"
#include "ForeignProtocol.h"
#include "MessageFraming.h"
#include "ScpiSyntax.h"
#include "SessionState.h"

#include <exception>
#include <vector>

namespace tarvo::scpi {
namespace {

constexpr std::size_t MAX_LOGGED_MESSAGE = 200;  // characters of a message a log line shows
constexpr std::size_t MAX_FOREIGN_LINE = 200;    // characters of another protocol's line kept

}  // namespace

class ScpiSession::Impl {
public:
    Impl(ScpiSession& owner, Instruments& instruments, InstrumentLock& lock)
        : owner_(owner), state_(instruments, lock), framer_(MAX_MESSAGE_BYTES) {
        state_.status.log = &owner_.log;
    }
    ~Impl() {
        state_.lock.ReleaseAll(state_.id);
        state_.lock.StopWaiting(state_.id);
    }

    std::string Receive(std::string_view bytes);
    std::string RunWhole(std::string_view message);
    void DeviceClear() { framer_.Clear(); }
    std::uint8_t StatusByte(bool answerWaiting) const { return state_.status.StatusByte(answerWaiting); }
    SessionId Id() const { return state_.id; }

    bool foreign = false;
    std::string foreignLine;

private:
    // Runs one message ended by the framer; its response, if any, goes to `out` with its LF.
    void Run(std::string_view message, bool overrun, std::string& out);
    void Log(const std::string& line) const {
        if (owner_.log) owner_.log(line);
    }

    ScpiSession& owner_;
    SessionState state_;
    MessageFramer framer_;
};

std::string ScpiSession::Impl::Receive(std::string_view bytes) {
    std::string out;
    if (foreign) return out;
    try {
        framer_.Take(bytes, [this, &out](std::string_view message, bool overrun) {
            if (!overrun && IsForeignProtocolLine(message)) {
                // Another protocol's line: it ends the session before any of it, or anything after it, runs.
                foreign = true;
                foreignLine = ShownText(message, MAX_FOREIGN_LINE);
                Log("not SCPI: " + foreignLine);
                framer_.Clear();
                return false;
            }
            Run(message, overrun, out);
            return true;
        });
    } catch (const std::exception&) {
        // Out of memory: the message in hand is dropped, what was answered is kept.
        framer_.Clear();
    }
    return out;
}

std::string ScpiSession::Impl::RunWhole(std::string_view message) {
    std::string out;
    // Its own framing, so that input the raw-socket way left pending is not mixed in: an LF within the
    // message, outside block data, still ends a message as on any IEEE 488.2 transport.
    MessageFramer framer(MAX_MESSAGE_BYTES);
    const auto run = [this, &out](std::string_view m, bool overrun) {
        Run(m, overrun, out);
        return true;
    };
    try {
        framer.Take(message, run);
        framer.Finish(run);
    } catch (const std::exception&) {
        // Out of memory: what was answered is kept.
    }
    return out;
}

void ScpiSession::Impl::Run(std::string_view message, bool overrun, std::string& out) {
    if (overrun) {
        state_.status.Queue(error::INPUT_BUFFER_OVERRUN,
                            "a message longer than " + std::to_string(MAX_MESSAGE_BYTES) + " bytes is dropped whole");
        return;
    }
    if (message.find_first_not_of(" \t") == std::string_view::npos) return;
    Log("message: " + ShownText(message, MAX_LOGGED_MESSAGE));
    state_.status.commandError = false;
    std::vector<Mnemonic> path;
    std::vector<std::string> answers;
    std::size_t pos = 0;
    // After a command error the rest of the message is skipped.
    while (pos < message.size() && !state_.status.commandError) {
        UnitReading reading = ReadUnit(message, pos);
        if (reading.error.code != 0) {
            state_.status.Queue(reading.error.code, reading.error.detail);
            break;
        }
        if (!reading.unit.header.empty()) RunUnit(state_, reading.unit, path, answers);
    }
    if (answers.empty()) return;
    std::string response;
    for (const std::string& answer : answers) response += (response.empty() ? "" : ";") + answer;
    out += response;
    out += '\n';
}

ScpiSession::ScpiSession(Instruments& instruments, InstrumentLock& lock)
    : impl_(std::make_unique<Impl>(*this, instruments, lock)) {}
ScpiSession::~ScpiSession() = default;

SessionId ScpiSession::Id() const { return impl_->Id(); }
std::string ScpiSession::Receive(std::string_view bytes) { return impl_->Receive(bytes); }
bool ScpiSession::ForeignProtocol() const { return impl_->foreign; }
const std::string& ScpiSession::ForeignLine() const { return impl_->foreignLine; }
std::string ScpiSession::RunMessage(std::string_view message) { return impl_->RunWhole(message); }
void ScpiSession::DeviceClear() { impl_->DeviceClear(); }
std::uint8_t ScpiSession::StatusByte(bool answerWaiting) const { return impl_->StatusByte(answerWaiting); }

}  // namespace tarvo::scpi
