// The generators as a SCPI session sees them: what it may ask of them, by serial number. The server's bench
// implements it on the real or simulated platform; the language's tests on a small fake. Every call runs whole
// on the server's one thread.
#pragma once

#include "protocol/FeatureReport.h"  // DeviceStatus

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi {

enum class InstrumentOutcome {
    Done,
    Missing,  // no generator with that serial number is attached
    Failed,   // it is attached, but it could not be opened or failed the request
    Ambiguous,  // two or more attached generators report that serial number: they cannot be told apart
};

struct InstrumentResult {
    InstrumentOutcome outcome = InstrumentOutcome::Done;
    std::string detail;  // Missing and Failed: what happened, for the error's detail
};

// The maker, product name and firmware version; nothing for a string that could not be read.
struct InstrumentIdentity {
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> version;
};

class Instruments {
public:
    virtual ~Instruments() = default;

    // The -s serial number, if the server serves that generator only.
    virtual const std::optional<std::string>& Only() const = 0;
    // The attached generators served, in walk order, each serial number once.
    virtual std::vector<std::string> Catalog() = 0;
    // The generator a session gets before it chooses one: the -s one, or the one attached. Nothing, with the
    // reason in `why`, when there is none or the choice is not clear (several attached, or two generators that
    // report the same serial number); `several` tells the latter apart.
    struct Choice {
        std::optional<std::string> serial;
        bool several = false;
        std::string why;
    };
    virtual Choice DefaultGenerator() = 0;
    // The generator INSTrument:SELect asks for, by the same rule: nothing, with the reason in `why`, when it is
    // not served or not attached, or (`several`) when two generators report that serial number.
    virtual Choice Select(const std::string& serial) = 0;

    // Done: `identity` has what could be read (Failed with the maker and product both unread).
    virtual InstrumentResult Identity(const std::string& serial, InstrumentIdentity& identity) = 0;
    virtual InstrumentResult ReadStatus(const std::string& serial, DeviceStatus& status) = 0;
    virtual InstrumentResult SendFrequency(const std::string& serial, std::int32_t hertz) = 0;
    virtual InstrumentResult SendAmplitude(const std::string& serial, int index) = 0;
    virtual InstrumentResult RestoreDefaults(const std::string& serial) = 0;

    // The simulated generators' extras: only while Simulating().
    virtual bool Simulating() const = 0;
    // False when one with that serial number is plugged in already (Plug) or none is (Unplug).
    virtual bool PlugSimulated(const std::string& serial) = 0;
    virtual bool UnplugSimulated(const std::string& serial) = 0;
    // The feature reports that generator received since the last call, oldest first, each in upper-case hex
    // bytes separated by spaces; they are forgotten.
    virtual std::vector<std::string> TakeReports(const std::string& serial) = 0;
};

}  // namespace tarvo::scpi
