#include "GeneratorBench.h"

#include "protocol/FeatureReport.h"

#include <algorithm>

namespace tarvo::scpi {
namespace {

bool Listed(ApiDeclarations& api, const std::string& serial) {
    const std::vector<std::string> serials = ListGenerators(api);
    return std::find(serials.begin(), serials.end(), serial) != serials.end();
}

std::string Missing(const std::string& serial) { return "generator " + serial + " is not attached"; }

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

BenchResult GeneratorBench::Run(const std::string& serial, const Request& request) {
    if (only_ && serial != *only_) return {BenchOutcome::Missing, "this server serves generator " + *only_ + " only"};
    std::unique_ptr<GeneratorSession>& slot = generators_[serial];
    if (!slot) slot = std::make_unique<GeneratorSession>(api_);
    GeneratorSession& generator = *slot;

    const auto open = [&]() -> std::optional<BenchResult> {
        switch (generator.Open(serial)) {
            case GeneratorSession::OpenOutcome::Opened: return std::nullopt;
            case GeneratorSession::OpenOutcome::NotAttached: return BenchResult{BenchOutcome::Missing, Missing(serial)};
            case GeneratorSession::OpenOutcome::Failed: break;
        }
        return BenchResult{BenchOutcome::Failed, "generator " + serial + " is attached but could not be opened"};
    };

    if (!generator.IsOpen())
        if (auto refused = open()) return *refused;
    GeneratorOutcome outcome = request(generator);
    if (outcome == GeneratorOutcome::Done) return {};
    if (outcome == GeneratorOutcome::TooShort) {
        // The length was read when the handle was opened. A generator being removed can still be opened (Wine
        // lists it a moment longer) and then reads 0 bytes: the handle is not kept, so that the next request
        // opens the generator afresh and reaches it once it is plugged in again.
        BenchResult refused{BenchOutcome::Failed, FailureText(outcome, serial, generator.FeatureReportLength())};
        generator.Close();
        return refused;
    }

    // The request failed: gone, or a handle that went stale while the generator was away.
    const bool listed = Listed(api_, serial);
    generator.Close();
    if (!listed) return {BenchOutcome::Missing, Missing(serial)};
    if (auto refused = open()) return *refused;
    outcome = request(generator);
    if (outcome == GeneratorOutcome::Done) return {};
    return {BenchOutcome::Failed, FailureText(outcome, serial, generator.FeatureReportLength())};
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
