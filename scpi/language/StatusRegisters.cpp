#include "StatusRegisters.h"

namespace tarvo::scpi {

void SessionStatus::Queue(int code, std::string_view detail) {
    errors.Push(code, detail);
    if (IsCommandError(code)) {
        esr |= ESR_CME;
        commandError = true;
    } else if (code <= -200 && code > -300) {
        esr |= ESR_EXE;
    } else if (code <= -400 && code > -500) {
        esr |= ESR_QYE;
    } else {
        esr |= ESR_DDE;
    }
    if (log && *log) (*log)("error: " + FormatError(code, detail));
}

std::uint8_t SessionStatus::StatusByte(bool answerWaiting) const {
    std::uint8_t stb = 0;
    if (!errors.Empty()) stb |= STB_EAV;
    if (questionable.event & questionable.enable) stb |= STB_QUES;
    if (answerWaiting) stb |= STB_MAV;
    if (esr & ese) stb |= STB_ESB;
    if (operation.event & operation.enable) stb |= STB_OPER;
    if (stb & sre) stb |= STB_MSS;
    return stb;
}

void SessionStatus::Clear() {
    errors.Clear();
    esr = 0;
    operation.event = questionable.event = 0;
}

void SessionStatus::Preset() {
    for (StatusRegister* r : {&operation, &questionable}) {
        r->enable = 0;
        r->positive = REGISTER_BITS;
        r->negative = 0;
    }
}

}  // namespace tarvo::scpi
