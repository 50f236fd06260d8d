// The pulse generators the SCPI server serves, shared by every connection: one GeneratorSession per serial
// number, opened when first needed, that follows unplugging and plugging; in --simulate mode also the simulated
// platform's extras (plugging, unplugging, and the feature reports each generator received).
//
// Used from one thread: a request runs whole before the next one starts, whichever connection made it.
#pragma once

#include "device/ApiDeclarations.h"
#include "device/GeneratorSession.h"
#include "device/SimulatedPlatform.h"
#include "scpi/language/Instruments.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi {

// The serial number of the simulated generator when --simulate names none.
inline constexpr const char* DEFAULT_SIMULATED_SERIAL = "TPG-SIM-0001";
// Feature reports kept per simulated generator until a session asks for them; older ones are dropped.
inline constexpr std::size_t MAX_LOGGED_REPORTS = 4096;

class GeneratorBench : public Instruments {
public:
    // only: the -s serial number (the bench then serves that generator only); simulated: the platform of
    // --simulate (it enables the SIMulate commands), nullptr otherwise. `api` is the platform in use (the
    // simulated one itself in --simulate mode).
    GeneratorBench(ApiDeclarations& api, std::optional<std::string> only, SimulatedPlatform* simulated);
    ~GeneratorBench() override;  // closes every generator
    GeneratorBench(const GeneratorBench&) = delete;
    GeneratorBench& operator=(const GeneratorBench&) = delete;

    const std::optional<std::string>& Only() const override { return only_; }
    std::vector<std::string> Catalog() override;
    Choice DefaultGenerator() override;
    Choice Select(const std::string& serial) override;

    InstrumentResult Identity(const std::string& serial, InstrumentIdentity& identity) override;
    InstrumentResult ReadStatus(const std::string& serial, DeviceStatus& status) override;
    InstrumentResult SendFrequency(const std::string& serial, std::int32_t hertz) override;
    InstrumentResult SendAmplitude(const std::string& serial, int index) override;
    InstrumentResult RestoreDefaults(const std::string& serial) override;

    using Request = std::function<GeneratorOutcome(GeneratorSession&)>;
    // Runs one request on the generator with that serial number. A generator not open is opened first when it
    // is listed once (Ambiguous when two or more attached generators report that serial number; one already
    // open stays in use, since its handles name it). A request that fails is followed by a fresh search: gone, the generator is closed (Missing);
    // still listed, it is closed, opened again and the request made once more on the fresh handles, so that a
    // handle gone stale while the generator was unplugged and plugged again costs nothing (Failed when that
    // fails too).
    InstrumentResult Run(const std::string& serial, const Request& request);
    void CloseAll();

    // --simulate only (false otherwise).
    bool Simulating() const override { return simulated_ != nullptr; }
    // Plugs a simulated generator with that serial number; false if one with it is plugged in already.
    bool PlugSimulated(const std::string& serial) override;
    // Unplugs the simulated generator with that serial number; false if none is plugged in.
    bool UnplugSimulated(const std::string& serial) override;
    // The set-feature reports that generator received since the last call (oldest first, at most
    // MAX_LOGGED_REPORTS), each in upper-case hex bytes separated by spaces; they are forgotten.
    std::vector<std::string> TakeReports(const std::string& serial) override;

private:
    ApiDeclarations& api_;
    std::optional<std::string> only_;
    SimulatedPlatform* simulated_;
    std::function<void(const SimCall&)> previousOnCall_;
    std::map<std::string, std::unique_ptr<GeneratorSession>> generators_;
    std::map<std::string, std::deque<std::string>> reports_;  // by serial number (the simulated device's name)
};

}  // namespace tarvo::scpi
