#include "GeneratorBench.h"

#include "device/GeneratorChoice.h"
#include "protocol/FeatureReport.h"

#include <algorithm>

namespace tarvo::scpi {
namespace {

std::string Missing(const std::string& serial) { return "generator " + serial + " is not attached"; }

std::string Duplicated(const std::string& serial, std::size_t count) {
    return std::to_string(count) + " attached generators report the serial number " + serial +
           ": they cannot be told apart";
}

std::string FailureText(GeneratorOutcome outcome, const std::string& serial, std::uint16_t length) {
    if (outcome == GeneratorOutcome::TooShort)
        return "generator " + serial + " has a feature report of " + std::to_string(length) +
               " bytes, too short for the request";
    return "generator " + serial + " failed the request";
}

}  // namespace

GeneratorBench::GeneratorBench(ApiDeclarations& api, std::optional<std::string> only, SimulatedPlatform* simulated)
    : api_(api), only_(std::move(only)), simulated_(simulated) {
    if (!simulated_) return;
    // A server runs for weeks: the platform keeps no record of its own, only the set-feature reports each
    // generator received, a bounded number of them.
    simulated_->keepRecords = false;
    previousOnCall_ = simulated_->onCall;
    simulated_->onCall = [this](const SimCall& call) {
        if (previousOnCall_) previousOnCall_(call);
        if (call.op != "HidD_SetFeature" || !call.ok || call.device.empty()) return;
        std::deque<std::string>& log = reports_[call.device];
        if (log.size() == MAX_LOGGED_REPORTS) log.pop_front();
        log.push_back(HexBytes(call.bytes));
    };
}

GeneratorBench::~GeneratorBench() {
    CloseAll();
    if (simulated_) simulated_->onCall = previousOnCall_;
}

std::vector<std::string> GeneratorBench::Catalog() {
    std::vector<std::string> serials = ListGenerators(api_);
    if (only_) std::erase_if(serials, [this](const std::string& s) { return s != *only_; });
    // A serial number listed twice (two generators that report the same one) is served once.
    std::vector<std::string> unique;
    for (std::string& s : serials)
        if (std::find(unique.begin(), unique.end(), s) == unique.end()) unique.push_back(std::move(s));
    return unique;
}

InstrumentResult GeneratorBench::Run(const std::string& serial, const Request& request) {
    if (only_ && serial != *only_) return {InstrumentOutcome::Missing, "this server serves generator " + *only_ + " only"};
    std::unique_ptr<GeneratorSession>& slot = generators_[serial];
    if (!slot) slot = std::make_unique<GeneratorSession>(api_);
    GeneratorSession& generator = *slot;

    // Opened only when the serial number names one generator, by the rule every program follows.
    const auto open = [&]() -> std::optional<InstrumentResult> {
        const GeneratorChoice choice = ChooseGenerator(ListGenerators(api_), serial);
        if (choice.outcome == GeneratorChoiceOutcome::Duplicated)
            return InstrumentResult{InstrumentOutcome::Ambiguous, Duplicated(serial, choice.count)};
        if (choice.outcome != GeneratorChoiceOutcome::Chosen)
            return InstrumentResult{InstrumentOutcome::Missing, Missing(serial)};
        switch (generator.Open(serial)) {
            case GeneratorSession::OpenOutcome::Opened: return std::nullopt;
            case GeneratorSession::OpenOutcome::NotAttached:
                return InstrumentResult{InstrumentOutcome::Missing, Missing(serial)};
            case GeneratorSession::OpenOutcome::Failed: break;
        }
        return InstrumentResult{InstrumentOutcome::Failed, "generator " + serial + " is attached but could not be opened"};
    };

    if (!generator.IsOpen())
        if (auto refused = open()) return *refused;
    GeneratorOutcome outcome = request(generator);
    if (outcome == GeneratorOutcome::Done) return {};
    if (outcome == GeneratorOutcome::TooShort) {
        // The length was read when the handle was opened. A generator being removed can still be opened (Wine
        // lists it a moment longer) and then reads 0 bytes: the handle is not kept, so that the next request
        // opens the generator afresh and reaches it once it is plugged in again.
        InstrumentResult refused{InstrumentOutcome::Failed, FailureText(outcome, serial, generator.FeatureReportLength())};
        generator.Close();
        return refused;
    }

    // The request failed: gone, or a handle that went stale while the generator was away. A fresh search says
    // which; still there, it is opened again and the request made once more.
    generator.Close();
    if (auto refused = open()) return *refused;
    outcome = request(generator);
    if (outcome == GeneratorOutcome::Done) return {};
    return {InstrumentOutcome::Failed, FailureText(outcome, serial, generator.FeatureReportLength())};
}

Instruments::Choice GeneratorBench::DefaultGenerator() {
    if (only_) return {only_, false, {}};
    const std::vector<std::string> serials = ListGenerators(api_);
    const GeneratorChoice choice = ChooseGenerator(serials, std::nullopt);
    if (choice.outcome == GeneratorChoiceOutcome::Chosen) return {serials[choice.index], false, {}};
    if (choice.outcome == GeneratorChoiceOutcome::NoneAttached) return {std::nullopt, false, "no generator attached"};
    std::string listed;
    for (const std::string& s : serials) listed += (listed.empty() ? "" : ", ") + s;
    return {std::nullopt, true,
            std::to_string(serials.size()) + " generators are attached (" + listed +
                "): choose one with INSTrument:SELect"};
}

Instruments::Choice GeneratorBench::Select(const std::string& serial) {
    if (only_ && serial != *only_) return {std::nullopt, false, "this server serves generator " + *only_ + " only"};
    const GeneratorChoice choice = ChooseGenerator(ListGenerators(api_), serial);
    if (choice.outcome == GeneratorChoiceOutcome::Duplicated)
        return {std::nullopt, true, Duplicated(serial, choice.count)};
    // The -s generator may be chosen before it is plugged in; any other must be attached.
    if (choice.outcome != GeneratorChoiceOutcome::Chosen && !only_)
        return {std::nullopt, false, "no generator " + serial + " is attached"};
    return {serial, false, {}};
}

InstrumentResult GeneratorBench::Identity(const std::string& serial, InstrumentIdentity& identity) {
    return Run(serial, [&identity](GeneratorSession& g) {
        const GeneratorIdentity read = g.Identity();
        identity = {read.manufacturer, read.product, read.version};
        return read.manufacturer || read.product ? GeneratorOutcome::Done : GeneratorOutcome::Failed;
    });
}

InstrumentResult GeneratorBench::ReadStatus(const std::string& serial, DeviceStatus& status) {
    return Run(serial, [&status](GeneratorSession& g) {
        const StatusReading reading = g.ReadStatus();
        if (reading.outcome == GeneratorOutcome::Done) status = reading.status;
        return reading.outcome;
    });
}

InstrumentResult GeneratorBench::SendFrequency(const std::string& serial, std::int32_t hertz) {
    return Run(serial, [hertz](GeneratorSession& g) { return g.SendFrequency(hertz); });
}

InstrumentResult GeneratorBench::SendAmplitude(const std::string& serial, int index) {
    return Run(serial, [index](GeneratorSession& g) { return g.SendAmplitude(index); });
}

InstrumentResult GeneratorBench::RestoreDefaults(const std::string& serial) {
    return Run(serial, [](GeneratorSession& g) { return g.RestoreDefaults(); });
}

void GeneratorBench::CloseAll() {
    for (auto& [serial, generator] : generators_)
        if (generator) generator->Close();
}

bool GeneratorBench::PlugSimulated(const std::string& serial) {
    if (!simulated_) return false;
    SimDeviceConfig config;
    config.name = serial;
    for (const unsigned char c : serial) config.serial.push_back(c);
    return simulated_->Plug(config);
}

bool GeneratorBench::UnplugSimulated(const std::string& serial) {
    return simulated_ != nullptr && simulated_->Unplug(serial);
}

std::vector<std::string> GeneratorBench::TakeReports(const std::string& serial) {
    const auto found = reports_.find(serial);
    if (found == reports_.end()) return {};
    std::vector<std::string> reports(std::make_move_iterator(found->second.begin()),
                                     std::make_move_iterator(found->second.end()));
    reports_.erase(found);
    return reports;
}

}  // namespace tarvo::scpi
