// The Windows device code against a virtual pulse generator through Wine's HID stack (hid.dll, winebus,
// hidraw), in the Wine guest test (run-wine-guest.sh). It prints what it finds and does, one line each; the
// test checks those lines and what the generator received.
//
//   wine_hid_probe send --serial TEXT --frequency HZ --amplitude INDEX
//       opens the generator of that serial number through a GeneratorSession, prints its path, attributes,
//       report lengths and strings, reads its status, sends the two commands as the window does and reads the
//       status again. Exit 0 when every request succeeded, 1 otherwise.
//   wine_hid_probe watch --serial TEXT --seconds N
//       what the window does while nobody touches it: opens the generator once it is there, reads its status,
//       checks it every 250 ms with a status read, and once one fails closes it and looks for it again; sends
//       nothing. Ends after N seconds with exit 0.
#include "device/GeneratorSession.h"
#include "device/PlatformFactory.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace tarvo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto FIND_WAIT = 60s;  // Wine's bus may still be enumerating when the program starts
constexpr auto WATCH_PERIOD = 250ms;

void Say(const std::string& line) {
    std::printf("PROBE %s\n", line.c_str());
    std::fflush(stdout);
}

bool OpenWithin(GeneratorSession& session, const std::string& serial, Clock::duration wait) {
    const auto until = Clock::now() + wait;
    while (session.Open(serial) != GeneratorSession::OpenOutcome::Opened) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(WATCH_PERIOD);
    }
    return true;
}

std::string StatusText(const StatusReading& reading) {
    if (reading.outcome != GeneratorOutcome::Done) return "status read failed";
    return "status frequency " + std::to_string(reading.status.frequencyHz) + " amplitude " +
           std::to_string(reading.status.amplitudeIndex);
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

int Send(const std::string& serial, std::int32_t hertz, std::int16_t index) {
    const std::unique_ptr<ApiDeclarations> api = MakeSystemPlatform();
    GeneratorSession session(*api);
    if (!OpenWithin(session, serial, FIND_WAIT)) {
        Say("not found: " + serial + " (listed: " + std::to_string(ListGenerators(*api).size()) + ")");
        return 1;
    }
    const HIDP_CAPS caps = session.Caps();
    Say("opened " + session.Path());
    Say("attributes " + Hex4(session.Attributes().VendorID) + ":" + Hex4(session.Attributes().ProductID));
    Say("caps input " + std::to_string(caps.InputReportByteLength) + " output " +
        std::to_string(caps.OutputReportByteLength) + " feature " + std::to_string(caps.FeatureReportByteLength));
    // The open matched the device's serial number string to this text, exactly.
    Say("serial " + session.Serial());
    Say("product " + session.Identity().product.value_or("(read failed)"));

    StatusReading status = session.ReadStatus();
    Say(StatusText(status));
    bool ok = status.outcome == GeneratorOutcome::Done;
    const bool frequencySent = session.SendFrequency(hertz) == GeneratorOutcome::Done;
    Say(std::string("frequency ") + std::to_string(hertz) + (frequencySent ? " sent" : " not sent"));
    const bool amplitudeSent = session.SendAmplitude(index) == GeneratorOutcome::Done;
    Say(std::string("amplitude ") + std::to_string(index) + (amplitudeSent ? " sent" : " not sent"));
    status = session.ReadStatus();
    Say(StatusText(status));
    ok = ok && frequencySent && amplitudeSent && status.outcome == GeneratorOutcome::Done;
    return ok ? 0 : 1;
}

int Watch(const std::string& serial, Clock::duration length) {
    const std::unique_ptr<ApiDeclarations> api = MakeSystemPlatform();
    GeneratorSession session(*api);
    const auto until = Clock::now() + length;
    while (Clock::now() < until) {
        if (!session.IsOpen()) {
            if (session.Open(serial) == GeneratorSession::OpenOutcome::Opened) {
                Say("opened " + session.Path());
                Say(StatusText(session.ReadStatus()));
            }
        } else if (session.ReadStatus().outcome != GeneratorOutcome::Done) {
            Say("lost");
            session.Close();
        }
        std::this_thread::sleep_for(WATCH_PERIOD);
    }
    Say("watch ended");
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: wine_hid_probe send --serial TEXT --frequency HZ --amplitude INDEX\n"
                 "       wine_hid_probe watch --serial TEXT --seconds N\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string mode = argv[1];
    std::string serial;
    long long frequency = -1, amplitude = -1, seconds = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        char* end = nullptr;
        const long long number = std::strtoll(argv[i + 1], &end, 10);
        const bool numeric = end != argv[i + 1] && *end == 0;
        if (key == "--serial") serial = argv[i + 1];
        else if (key == "--frequency" && numeric) frequency = number;
        else if (key == "--amplitude" && numeric) amplitude = number;
        else if (key == "--seconds" && numeric) seconds = number;
        else return Usage();
    }
    if (argc % 2 != 0 || serial.empty()) return Usage();
    if (mode == "send" && frequency >= 0 && frequency <= INT32_MAX && amplitude >= 0 && amplitude <= INT16_MAX)
        return Send(serial, static_cast<std::int32_t>(frequency), static_cast<std::int16_t>(amplitude));
    if (mode == "watch" && seconds > 0) return Watch(serial, std::chrono::seconds(seconds));
    return Usage();
}
