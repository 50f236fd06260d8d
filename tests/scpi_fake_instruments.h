// A stand-in for the generators, for the SCPI language's tests: attached generators by serial number, each with
// a frequency and amplitude; every frame sent is logged as the window's bytes, so SIMulate:LOG? answers as on
// the simulated platform. Its errors' details are the bench's.
#pragma once

#include "protocol/FeatureReport.h"
#include "scpi/language/Instruments.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace tarvo::scpi {

class FakeInstruments : public Instruments {
public:
    struct Generator {
        std::string serial;
        std::int32_t frequency = FOUT_DEFAULT_HZ;
        int amplitudeIndex = VOUT_DEFAULT_INDEX;
        std::optional<DeviceStatus> reply;  // what a status read reports instead, when set
        bool failing = false;               // every request fails
    };

    Generator* Find(const std::string& serial) {
        for (Generator& g : attached)
            if (g.serial == serial) return &g;
        return nullptr;
    }

    const std::optional<std::string>& Only() const override { return only; }
    std::vector<std::string> Catalog() override {
        std::vector<std::string> serials;
        for (const Generator& g : attached)
            if ((!only || g.serial == *only) && std::find(serials.begin(), serials.end(), g.serial) == serials.end())
                serials.push_back(g.serial);
        return serials;
    }
    Choice DefaultGenerator() override {
        if (only) return {only, false, {}};
        std::vector<std::string> serials;
        for (const Generator& g : attached) serials.push_back(g.serial);
        if (serials.size() == 1) return {serials.front(), false, {}};
        if (serials.empty()) return {std::nullopt, false, "no generator attached"};
        std::string listed;
        for (const std::string& s : serials) listed += (listed.empty() ? "" : ", ") + s;
        return {std::nullopt, true,
                std::to_string(serials.size()) + " generators are attached (" + listed +
                    "): choose one with INSTrument:SELect"};
    }

    Choice Select(const std::string& serial) override {
        if (only && serial != *only) return {std::nullopt, false, "this server serves generator " + *only + " only"};
        const auto count = Count(serial);
        if (count > 1) return {std::nullopt, true, Duplicated(serial, count)};
        if (count == 0 && !only) return {std::nullopt, false, "no generator " + serial + " is attached"};
        return {serial, false, {}};
    }

    InstrumentResult Identity(const std::string& serial, InstrumentIdentity& identity) override {
        return Request(serial, [&identity](Generator&) { identity = {"Tarvo", "Pulse Generator", "1.00"}; });
    }
    InstrumentResult ReadStatus(const std::string& serial, DeviceStatus& status) override {
        return Request(serial, [&status](Generator& g) {
            status = g.reply ? *g.reply : DeviceStatus{g.frequency, g.amplitudeIndex, g.frequency, g.amplitudeIndex};
        });
    }
    InstrumentResult SendFrequency(const std::string& serial, std::int32_t hertz) override {
        return Request(serial, [this, hertz](Generator& g) {
            g.frequency = hertz;
            reports[g.serial].push_back(HexBytes(EncodeFrequencyCommand(hertz, 9)));
        });
    }
    InstrumentResult SendAmplitude(const std::string& serial, int index) override {
        return Request(serial, [this, index](Generator& g) {
            g.amplitudeIndex = index;
            reports[g.serial].push_back(HexBytes(EncodeAmplitudeCommand(static_cast<std::int16_t>(index), 9)));
        });
    }
    InstrumentResult RestoreDefaults(const std::string& serial) override {
        const InstrumentResult result = SendFrequency(serial, FOUT_DEFAULT_HZ);
        return result.outcome == InstrumentOutcome::Done ? SendAmplitude(serial, VOUT_DEFAULT_INDEX) : result;
    }

    bool Simulating() const override { return simulating; }
    bool PlugSimulated(const std::string& serial) override {
        if (Find(serial)) return false;
        Generator plugged;
        plugged.serial = serial;
        attached.push_back(std::move(plugged));
        return true;
    }
    bool UnplugSimulated(const std::string& serial) override {
        return std::erase_if(attached, [&serial](const Generator& g) { return g.serial == serial; }) != 0;
    }
    std::vector<std::string> TakeReports(const std::string& serial) override {
        std::vector<std::string> taken = std::move(reports[serial]);
        reports.erase(serial);
        return taken;
    }

    std::optional<std::string> only;
    bool simulating = true;
    std::vector<Generator> attached;
    std::map<std::string, std::vector<std::string>> reports;
    int requests = 0;  // every request that reached a generator, done or not

private:
    std::size_t Count(const std::string& serial) const {
        return static_cast<std::size_t>(
            std::count_if(attached.begin(), attached.end(), [&serial](const Generator& g) { return g.serial == serial; }));
    }
    static std::string Duplicated(const std::string& serial, std::size_t count) {
        return std::to_string(count) + " attached generators report the serial number " + serial +
               ": they cannot be told apart";
    }

    template <typename Action>
    InstrumentResult Request(const std::string& serial, Action action) {
        if (only && serial != *only) return {InstrumentOutcome::Missing, "this server serves generator " + *only + " only"};
        Generator* g = Find(serial);
        if (!g) return {InstrumentOutcome::Missing, "generator " + serial + " is not attached"};
        if (Count(serial) > 1) return {InstrumentOutcome::Ambiguous, Duplicated(serial, Count(serial))};
        ++requests;
        if (g->failing) return {InstrumentOutcome::Failed, "generator " + serial + " failed the request"};
        action(*g);
        return {};
    }
};

}  // namespace tarvo::scpi
