// A session's IEEE 488.2 status model: the error queue, the event status register and its enable, the service
// request enable, SCPI's OPERation and QUEStionable registers, and the status byte that sums them up.
#pragma once

#include "ErrorQueue.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarvo::scpi {

// Event status register bits.
inline constexpr std::uint8_t ESR_OPC = 0x01, ESR_QYE = 0x04, ESR_DDE = 0x08, ESR_EXE = 0x10, ESR_CME = 0x20;
// Status byte bits.
inline constexpr std::uint8_t STB_EAV = 0x04, STB_QUES = 0x08, STB_MAV = 0x10, STB_ESB = 0x20, STB_MSS = 0x40,
                              STB_OPER = 0x80;
// SCPI's 16-bit status registers never use bit 15.
inline constexpr std::uint16_t REGISTER_BITS = 0x7FFF;

// A SCPI status register. Nothing in this generator sets a condition, so the event register only ever holds
// what the standard's commands leave in it.
struct StatusRegister {
    std::uint16_t condition = 0;
    std::uint16_t event = 0;
    std::uint16_t enable = 0;
    std::uint16_t positive = REGISTER_BITS;  // PTRansition
    std::uint16_t negative = 0;              // NTRansition
};

class SessionStatus {
public:
    // Queues an error and sets its event status bit; a command error also marks the running message, whose
    // rest is then skipped. Logs it when `log` is set.
    void Queue(int code, std::string_view detail);
    // The status byte; MAV when `answerWaiting`.
    std::uint8_t StatusByte(bool answerWaiting) const;
    // *CLS: the event registers and the error queue; the enables stay.
    void Clear();
    // STATus:PRESet: enables off, every rising transition passed, no falling one; events and the queue stay.
    void Preset();

    ErrorQueue errors;
    std::uint8_t esr = 0, ese = 0, sre = 0;
    StatusRegister operation, questionable;
    bool commandError = false;  // set by Queue; the session clears it when a message starts
    const std::function<void(const std::string&)>* log = nullptr;
};

}  // namespace tarvo::scpi
