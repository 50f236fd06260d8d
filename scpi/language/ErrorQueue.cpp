#include "ErrorQueue.h"

#include <cstdio>

namespace tarvo::scpi {

const char* ErrorText(int code) {
    switch (code) {
        case 0: return "No error";
        case error::COMMAND: return "Command error";
        case error::INVALID_CHARACTER: return "Invalid character";
        case error::SYNTAX: return "Syntax error";
        case error::DATA_TYPE: return "Data type error";
        case error::PARAMETER_NOT_ALLOWED: return "Parameter not allowed";
        case error::MISSING_PARAMETER: return "Missing parameter";
        case error::HEADER_SEPARATOR: return "Header separator error";
        case error::MNEMONIC_TOO_LONG: return "Program mnemonic too long";
        case error::UNDEFINED_HEADER: return "Undefined header";
        case error::HEADER_SUFFIX_OUT_OF_RANGE: return "Header suffix out of range";
        case error::NUMERIC_DATA: return "Numeric data error";
        case error::INVALID_SUFFIX: return "Invalid suffix";
        case error::SUFFIX_NOT_ALLOWED: return "Suffix not allowed";
        case error::INVALID_CHARACTER_DATA: return "Invalid character data";
        case error::CHARACTER_DATA_TOO_LONG: return "Character data too long";
        case error::INVALID_STRING_DATA: return "Invalid string data";
        case error::INVALID_BLOCK_DATA: return "Invalid block data";
        case error::EXECUTION: return "Execution error";
        case error::SETTINGS_CONFLICT: return "Settings conflict";
        case error::DATA_OUT_OF_RANGE: return "Data out of range";
        case error::ILLEGAL_PARAMETER_VALUE: return "Illegal parameter value";
        case error::HARDWARE: return "Hardware error";
        case error::HARDWARE_MISSING: return "Hardware missing";
        case error::QUEUE_OVERFLOW: return "Queue overflow";
        case error::INPUT_BUFFER_OVERRUN: return "Input buffer overrun";
        default: return "Error";
    }
}

std::string FormatError(int code, std::string_view detail) {
    std::string text = ErrorText(code);
    if (!detail.empty()) {
        text += ';';
        for (const char c : detail) {
            const std::string shown = c == '"' ? "\"\"" : ShownByte(c);
            if (text.size() + shown.size() > MAX_ERROR_STRING) break;
            text += shown;
        }
    }
    return std::to_string(code) + ",\"" + text + '"';
}

std::string ShownByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E) return std::string(1, c);
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    return hex;
}

std::string ShownText(std::string_view bytes, std::size_t most) {
    std::string shown;
    std::size_t cut = 0;  // the length of `shown` that leaves room for "..."
    for (const char c : bytes) {
        const std::string next = ShownByte(c);
        if (shown.size() + next.size() > most) return shown.substr(0, cut) + "...";
        shown += next;
        if (shown.size() + 3 <= most) cut = shown.size();
    }
    return shown;
}

void ErrorQueue::Push(int code, std::string_view detail) {
    if (entries_.size() < CAPACITY) {
        entries_.push_back(FormatError(code, detail));
    } else {
        entries_.back() = FormatError(error::QUEUE_OVERFLOW, {});
    }
}

std::string ErrorQueue::Pop() {
    if (entries_.empty()) return FormatError(0, {});
    std::string entry = std::move(entries_.front());
    entries_.pop_front();
    return entry;
}

}  // namespace tarvo::scpi
