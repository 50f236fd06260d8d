#include "SessionState.h"

#include "ErrorQueue.h"

namespace tarvo::scpi {

std::optional<std::string> SessionState::Target() {
    if (!lock.Permits(id)) {
        status.Queue(error::EXECUTION, "another client holds the lock on the generators");
        return std::nullopt;
    }
    return Generator();
}

std::optional<std::string> SessionState::Generator() {
    if (serial) return serial;
    Instruments::Choice choice = instruments.DefaultGenerator();
    if (choice.serial) return serial = std::move(choice.serial);
    status.Queue(choice.several ? error::SETTINGS_CONFLICT : error::HARDWARE_MISSING, choice.why);
    return std::nullopt;
}

bool SessionState::Reached(const InstrumentResult& result) {
    switch (result.outcome) {
        case InstrumentOutcome::Done: return true;
        case InstrumentOutcome::Missing: status.Queue(error::HARDWARE_MISSING, result.detail); return false;
        case InstrumentOutcome::Failed: status.Queue(error::HARDWARE, result.detail); return false;
        case InstrumentOutcome::Ambiguous: status.Queue(error::SETTINGS_CONFLICT, result.detail); return false;
    }
    return false;
}

std::optional<DeviceStatus> SessionState::Status() {
    const auto target = Target();
    if (!target) return std::nullopt;
    DeviceStatus report{};
    if (!Reached(instruments.ReadStatus(*target, report))) return std::nullopt;
    return report;
}

}  // namespace tarvo::scpi
