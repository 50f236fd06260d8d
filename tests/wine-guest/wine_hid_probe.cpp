// The Windows device code against a virtual pulse generator through Wine's HID stack (hid.dll, winebus,
// hidraw), in the Wine guest test (run-wine-guest.sh). It prints what it finds and does, one line each; the
// test checks those lines and what the generator received.
//
//   wine_hid_probe send --serial TEXT --frequency HZ --amplitude INDEX
//       finds the generator of that serial number, prints its path, attributes, report lengths and strings,
//       reads its status, sends the two commands as the window does and reads the status again. Exit 0 when
//       every request succeeded, 1 otherwise.
//   wine_hid_probe watch --serial TEXT --seconds N
//       what the window does while nobody touches it: opens the generator once it is there, reads its status,
//       checks it every 250 ms with a status read, and once one fails closes it and looks for it again; sends
//       nothing. Ends after N seconds with exit 0.
#include "device/DeviceFinder.h"
#include "device/HidString.h"
#include "device/PlatformFactory.h"
#include "protocol/SettingsProtocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

struct Probe {
    std::unique_ptr<ApiDeclarations> api = MakeSystemPlatform();
    DeviceSession session;
    ListedSerialNumbers list;
    DeviceContext context{session, *api, list};

    ~Probe() {
        Close();
        if (session.ReadEvent != 0) api->CloseHandle(session.ReadEvent);
    }

    // Scans once and opens the generator of the serial number when it is listed.
    bool TryOpen(const std::string& serial) {
        Scan_USB_devices(context);
        const auto it = std::find(list.entries.begin(), list.entries.end(), serial);
        if (it == list.entries.end()) return false;
        list.Select(static_cast<int>(it - list.entries.begin()));
        return FindTheHid(context);
    }

    bool OpenWithin(const std::string& serial, Clock::duration wait) {
        const auto until = Clock::now() + wait;
        while (!TryOpen(serial)) {
            if (Clock::now() >= until) return false;
            std::this_thread::sleep_for(WATCH_PERIOD);
        }
        return true;
    }

    void Close() {
        session.DeviceAttached = false;
        session.SettingsLoaded = false;
        session.RefreshComplete = false;
        for (Handle* h : {&session.DeviceHandle, &session.ReadHandle}) {
            if (*h != INVALID_HANDLE_VALUE) api->CloseHandle(*h);
            *h = INVALID_HANDLE_VALUE;
        }
    }

    std::string String(BOOL (ApiDeclarations::*read)(Handle, std::uint8_t*, std::uint32_t), Handle h) {
        std::vector<std::uint8_t> buffer(STRING_BUFFER_BYTES, 0);
        if (!(api.get()->*read)(h, buffer.data(), STRING_READ_LENGTH)) return "(read failed)";
        return HidStringToText(*api, buffer.data(), buffer.size());
    }
};

std::string StatusText(const std::optional<DeviceStatus>& status) {
    if (!status) return "status read failed";
    return "status frequency " + std::to_string(status->frequencyHz) + " amplitude " +
           std::to_string(status->amplitudeIndex);
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

int Send(const std::string& serial, std::int32_t hertz, std::int16_t index) {
    Probe p;
    if (!p.OpenWithin(serial, FIND_WAIT)) {
        Say("not found: " + serial + " (listed: " + std::to_string(p.list.entries.size()) + ")");
        return 1;
    }
    DeviceSession& s = p.session;
    Say("opened " + s.DevicePath);
    Say("attributes " + Hex4(s.Attributes.VendorID) + ":" + Hex4(s.Attributes.ProductID));
    Say("caps input " + std::to_string(s.Caps.InputReportByteLength) + " output " +
        std::to_string(s.Caps.OutputReportByteLength) + " feature " + std::to_string(s.Caps.FeatureReportByteLength));
    Say("serial " + p.String(&ApiDeclarations::HidD_GetSerialNumberString, s.DeviceHandle));
    Say("product " + p.String(&ApiDeclarations::HidD_GetProductString, s.ReadHandle));

    bool ok = true;
    auto status = ReadStatus(s, *p.api);
    Say(StatusText(status));
    ok = ok && status.has_value();
    // What a refresh leaves behind: the window is in step with the device, so commands may go.
    s.SettingsLoaded = true;
    s.RefreshComplete = true;
    const bool frequencySent = SendFrequency(s, *p.api, hertz) && s.LastResult != 0;
    Say(std::string("frequency ") + std::to_string(hertz) + (frequencySent ? " sent" : " not sent"));
    const bool amplitudeSent = SendAmplitude(s, *p.api, index) && s.LastResult != 0;
    Say(std::string("amplitude ") + std::to_string(index) + (amplitudeSent ? " sent" : " not sent"));
    status = ReadStatus(s, *p.api);
    Say(StatusText(status));
    ok = ok && frequencySent && amplitudeSent && status.has_value();
    return ok ? 0 : 1;
}

int Watch(const std::string& serial, Clock::duration length) {
    Probe p;
    const auto until = Clock::now() + length;
    while (Clock::now() < until) {
        if (!p.session.DeviceAttached) {
            if (p.TryOpen(serial)) {
                Say("opened " + p.session.DevicePath);
                Say(StatusText(ReadStatus(p.session, *p.api)));
            }
        } else if (!ReadStatus(p.session, *p.api)) {
            Say("lost");
            p.Close();
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
