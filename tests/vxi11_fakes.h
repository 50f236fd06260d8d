// The VXI-11 tests' stand-ins for the SCPI session and the generators (see vxi11_fakes.cpp).
#pragma once

#include "scpi/language/InstrumentLock.h"
#include "scpi/language/Instruments.h"
#include "scpi/language/ScpiSession.h"

#include <string>
#include <vector>

namespace tarvo::scpi {

// Every message a fake session ran, in order; the device clears asked of them.
extern std::vector<std::string> fakeMessagesRun;
extern int fakeDeviceClears;

// Two generators, TPG-1 and TPG-2, that do whatever they are asked.
class FakeInstruments : public Instruments {
public:
    const std::optional<std::string>& Only() const override { return only_; }
    std::vector<std::string> Catalog() override { return {"TPG-1", "TPG-2"}; }
    Choice DefaultGenerator() override { return {}; }
    InstrumentResult Identity(const std::string&, InstrumentIdentity&) override { return {}; }
    InstrumentResult ReadStatus(const std::string&, DeviceStatus&) override { return {}; }
    InstrumentResult SendFrequency(const std::string&, std::int32_t) override { return {}; }
    InstrumentResult SendAmplitude(const std::string&, int) override { return {}; }
    InstrumentResult RestoreDefaults(const std::string&) override { return {}; }
    bool Simulating() const override { return false; }
    bool PlugSimulated(const std::string&) override { return false; }
    bool UnplugSimulated(const std::string&) override { return false; }
    std::vector<std::string> TakeReports(const std::string&) override { return {}; }

private:
    std::optional<std::string> only_;
};

}  // namespace tarvo::scpi
