// Any bytes into a SCPI session over a simulated bench with one generator: it never crashes; it answers whole
// lines only, the same whatever the bytes' split; it takes the bytes for another protocol's the same whatever
// the split; its error queue stays bounded; and every feature report the generator receives is one of the
// window's frames with a value the window could send.
#include "protocol/FeatureReport.h"
#include "scpi/device/GeneratorBench.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/language/ScpiSession.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsWindowFrame(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != 9) return false;
    if (bytes[1] == tarvo::CMD_SET_FREQUENCY) {
        const auto hertz = static_cast<std::int32_t>(bytes[3] | bytes[4] << 8 | bytes[5] << 16 |
                                                     static_cast<std::uint32_t>(bytes[6]) << 24);
        return hertz >= tarvo::FOUT_MIN_HZ && hertz <= tarvo::FOUT_MAX_HZ &&
               bytes == tarvo::EncodeFrequencyCommand(hertz, 9);
    }
    if (bytes[1] == tarvo::CMD_SET_AMPLITUDE) {
        const int index = bytes[3] | bytes[4] << 8;
        return index < tarvo::VOUT_ENTRY_COUNT &&
               bytes == tarvo::EncodeAmplitudeCommand(static_cast<std::int16_t>(index), 9);
    }
    return false;
}

// Runs the bytes through a fresh bench, in pieces whose lengths the bytes themselves choose (whole when
// `split` is false); returns everything the session answered, then whether it found another protocol.
std::string Run(std::string_view bytes, bool split) {
    tarvo::SimulatedPlatform sim;
    sim.onCall = [](const tarvo::SimCall& call) {
        if (call.op == "HidD_SetFeature") Require(IsWindowFrame(call.bytes));
    };
    tarvo::scpi::GeneratorBench bench(sim, std::nullopt, &sim);
    Require(bench.PlugSimulated(tarvo::scpi::DEFAULT_SIMULATED_SERIAL));
    tarvo::scpi::InstrumentLock lock;
    tarvo::scpi::ScpiSession session(bench, lock);
    std::string out;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t piece = split ? 1 + static_cast<unsigned char>(bytes[at]) % 7 : bytes.size();
        const std::string answer = session.Receive(bytes.substr(at, piece));
        // Whole lines, none empty.
        Require(answer.empty() || (answer.back() == '\n' && answer.front() != '\n' &&
                                   answer.find("\n\n") == std::string::npos));
        out += answer;
        at += piece;
    }
    out += session.Receive("\n");
    if (session.ForeignProtocol()) {
        // Nothing runs any more.
        Require(session.Receive("*OPC?\n").empty() && session.ForeignLine().size() <= 200);
        return out + "foreign: " + session.ForeignLine();
    }
    // The queue holds at most its capacity. A device clear first: block data may still be waiting for bytes.
    session.DeviceClear();
    const std::string count = session.Receive("SYST:ERR:COUN?\n");
    Require(!count.empty() && std::atoi(count.c_str()) <= 20);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Require(Run(bytes, false) == Run(bytes, true));
    return 0;
}
