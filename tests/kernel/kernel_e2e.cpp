// The utility's own device code on the real Linux HID stack: HidapiPlatform (hidapi, hidraw) against virtual
// pulse generators made through /dev/uhid by tarvo-pulse-generator-virtual.
//
//   tarvo_kernel_e2e --virtual PATH [--deadline SECONDS]
//
// Runs the walk (Scan_USB_devices, FindTheHid), the report lengths, the strings, the status read and the
// commands, the poll read with and without a stream, unplugging, and the platform's own contracts, then checks
// every report each generator received, byte for byte. Prints one line per check and ends with
// "KERNEL_E2E PASS" (status 0) or "KERNEL_E2E FAIL" (status 1). Needs /dev/uhid and root.
#include "device/DeviceFinder.h"
#include "device/HidString.h"
#include "device/HidapiPlatform.h"
#include "protocol/SettingsProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tarvo;
using namespace std::chrono_literals;

const char* const SERIAL_A = "TPG-E2E-A";
const char* const SERIAL_B = "TPG-E2E-B";
const char* const PRODUCT_NAME = "Tarvo Pulse Generator (virtual)";
constexpr auto WAIT = 10s;  // bound of every wait for the kernel or a generator; never reached when all is well

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

template <typename A, typename B>
void CheckEq(const A& actual, const B& expected, const std::string& what) {
    const bool ok = actual == expected;
    if (ok) {
        Check(true, what);
    } else {
        Check(false, what + " (got " + std::to_string(actual) + ", expected " + std::to_string(expected) + ")");
    }
}

void CheckText(const std::string& actual, const std::string& expected, const std::string& what) {
    Check(actual == expected, what + (actual == expected ? "" : " (got \"" + actual + "\", expected \"" + expected + "\")"));
}

void OnDeadline(int) {
    const char line[] = "KERNEL_E2E FAIL (deadline passed)\n";
    (void)!write(STDOUT_FILENO, line, sizeof line - 1);
    _exit(1);
}

// One running tarvo-pulse-generator-virtual and the lines it printed.
class Generator {
public:
    Generator(const std::string& program, std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Generator() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    bool Started() const { return pid_ > 0 && fd_ >= 0; }
    void Signal(int sig) const { if (pid_ > 0 && !exited_) kill(pid_, sig); }

    // Waits until a printed line satisfies the predicate; true when one did.
    bool WaitForLine(const std::function<bool(const std::string&)>& match) {
        const auto until = std::chrono::steady_clock::now() + WAIT;
        std::size_t seen = 0;
        do {
            for (; seen < lines_.size(); ++seen)
                if (match(lines_[seen])) return true;
            Pump(10);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
    bool WaitForLine(const std::string& exact) {
        return WaitForLine([&](const std::string& l) { return l == exact; });
    }

    // Waits for the program to end; its exit status, or -1.
    int WaitForExit() {
        const auto until = std::chrono::steady_clock::now() + WAIT;
        while (std::chrono::steady_clock::now() < until) {
            Pump(10);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                Pump(0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

    // The printed lines that start with the prefix, in order.
    std::vector<std::string> Lines(const std::string& prefix) {
        Pump(0);
        std::vector<std::string> found;
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) found.push_back(l);
        return found;
    }

private:
    void Pump(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0) {
            partial_.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = partial_.find('\n')) != std::string::npos) {
                lines_.push_back(partial_.substr(0, end));
                std::printf("     [%d] %s\n", static_cast<int>(pid_), lines_.back().c_str());
                partial_.erase(0, end + 1);
            }
        }
        std::fflush(stdout);
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    std::string partial_;
    std::vector<std::string> lines_;
};

struct ListModel final : SerialNumberList {
    std::vector<std::string> entries;
    int selected = -1;
    bool enabled = false;
    void Clear() override { entries.clear(), selected = -1; }
    void SetEnabled(bool on) override { enabled = on; }
    void Insert(int index, const std::string& text) override { entries.insert(entries.begin() + index, text); }
    void Select(int index) override { selected = index; }
    std::string SelectedText() const override { return selected < 0 ? std::string() : entries[static_cast<std::size_t>(selected)]; }
    int IndexOf(const std::string& text) const {
        auto it = std::find(entries.begin(), entries.end(), text);
        return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
    }
    // The entries of the generators this test made (on a developer's machine others may be attached).
    std::vector<std::string> Ours() const {
        std::vector<std::string> ours;
        for (const auto& e : entries)
            if (e.rfind("TPG-E2E-", 0) == 0) ours.push_back(e);
        return ours;
    }
};

std::string Text(const std::vector<std::string>& items) {
    std::string t;
    for (const auto& i : items) t += (t.empty() ? "" : ", ") + i;
    return "[" + t + "]";
}

// Scans until the list's own entries are exactly `expected` (in any order), within WAIT.
bool ScanUntil(DeviceContext c, ListModel& list, std::vector<std::string> expected) {
    std::sort(expected.begin(), expected.end());
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        Scan_USB_devices(c);
        auto ours = list.Ours();
        std::sort(ours.begin(), ours.end());
        if (ours == expected) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

std::string StringRead(ApiDeclarations& api, BOOL (ApiDeclarations::*read)(Handle, std::uint8_t*, std::uint32_t),
                       Handle h, BOOL& ok) {
    std::vector<std::uint8_t> buffer(STRING_BUFFER_BYTES, 0);
    ok = (api.*read)(h, buffer.data(), STRING_READ_LENGTH);
    return HidStringToText(api, buffer.data(), buffer.size());
}

struct Probe {
    std::uint8_t bytes[65] = {};
    std::uint32_t count = 0;
};

// One poll read as the window makes it: a 65-byte probe, the input report length, the read channel.
BOOL PollRead(ApiDeclarations& api, DeviceSession& s, Probe* probe = nullptr) {
    Probe local;
    Probe& p = probe ? *probe : local;
    p = Probe{};
    return api.ReadFile(s.ReadHandle, p.bytes, s.Caps.InputReportByteLength, &p.count, &s.ReadOverlapped);
}

// Reads until one read succeeds, within WAIT.
bool PollUntilAnswered(ApiDeclarations& api, DeviceSession& s, Probe* probe = nullptr) {
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        if (PollRead(api, s, probe)) return true;
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// Reads until a read fails, within WAIT; the reads already queued succeed first.
bool PollUntilSilent(ApiDeclarations& api, DeviceSession& s) {
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        if (!PollRead(api, s)) return true;
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void CloseDevice(ApiDeclarations& api, DeviceSession& s) {
    s.DeviceAttached = false;
    s.LastResult = api.CloseHandle(s.DeviceHandle);
    CheckEq(s.LastResult, 1, "the feature-report handle closes");
    s.DeviceHandle = INVALID_HANDLE_VALUE;
    s.LastResult = api.CloseHandle(s.ReadHandle);
    CheckEq(s.LastResult, 1, "the input-report handle closes");
    s.ReadHandle = INVALID_HANDLE_VALUE;
    s.RefreshComplete = false;
}

// The platform's own contracts on a live snapshot: the detail size query and buffer limits, handle kinds.
void CheckPlatformContracts(HidapiPlatform& api) {
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    Check(set != INVALID_HANDLE_VALUE, "a snapshot of the HID interfaces is taken");
    SP_DEVICE_INTERFACE_DATA data{};
    Check(api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data) != 0, "the snapshot lists an interface");
    std::uint32_t required = 0;
    Check(api.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr) == 0 &&
              required > DETAIL_PATH_OFFSET + 1,
          "the detail size query fails and reports the size, as on Windows");
    std::vector<std::uint8_t> detail(required + 4, 0xAA);
    std::uint32_t again = 0;
    const BOOL shortCall = api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required - 1, &again, nullptr);
    Check(shortCall == 0 && std::all_of(detail.begin(), detail.end(), [](std::uint8_t b) { return b == 0xAA; }),
          "a detail buffer one byte short fails and is left untouched");
    const BOOL fullCall = api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &again, nullptr);
    const char* path = reinterpret_cast<const char*>(detail.data() + DETAIL_PATH_OFFSET);
    Check(fullCall != 0 && detail[required - 1] == 0 && std::strlen(path) == required - DETAIL_PATH_OFFSET - 1 &&
              detail[required] == 0xAA,
          "the detail holds the NUL-terminated path within the size given");
    Check(api.CloseHandle(set) == 0, "a device-information set is not closed with CloseHandle");
    Check(api.SetupDiDestroyDeviceInfoList(set) != 0, "the snapshot is destroyed");
    Check(api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data) == 0, "a destroyed snapshot lists nothing");
    Check(api.CloseHandle(0xDEAD) == 0, "an unknown handle does not close");
    Check(api.CreateFileA("/dev/null", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, 0) ==
              INVALID_HANDLE_VALUE,
          "a path that is no HID device does not open");
    HIDP_CAPS caps;
    Check(api.HidP_GetCaps(0x5EED, caps) != HIDP_STATUS_SUCCESS, "unknown preparsed data gives no capabilities");
    const Handle event = api.CreateEventA(nullptr, 1, 1, "");
    Check(event != 0 && api.CloseHandle(event) != 0 && api.CloseHandle(event) == 0,
          "an event is a handle that closes once");
}

int Run(const std::string& virtualProgram) {
    Generator a(virtualProgram, {"--serial", SERIAL_A, "--frequency", "12345678", "--amplitude", "77"});
    Generator b(virtualProgram, {"--serial", SERIAL_B, "--frequency", "350000000", "--amplitude", "510"});
    Check(a.Started() && b.Started(), "two virtual generators are started");
    Check(a.WaitForLine("START") && b.WaitForLine("START"), "the kernel starts both devices");

    HidapiPlatform api;
    DeviceSession s;
    ListModel list;
    DeviceContext c{s, api, list};

    // The walk lists both, the last one listed selected.
    const bool bothListed = ScanUntil(c, list, {SERIAL_A, SERIAL_B});
    Check(bothListed, "the scan lists both generators " + Text(list.Ours()));
    CheckEq(list.selected, static_cast<int>(list.entries.size()) - 1, "the last listed entry is selected");
    Check(list.enabled, "the list is enabled with two entries");
    Check(s.DeviceHandle == INVALID_HANDLE_VALUE && s.DeviceInfoSet == INVALID_HANDLE_VALUE && !s.SettingsLoaded,
          "the scan leaves no handle and SettingsLoaded false");

    // Open A by its serial number.
    list.Select(list.IndexOf(SERIAL_A));
    Check(FindTheHid(c), "FindTheHid opens the generator of the selected serial number");
    Check(s.DeviceAttached && s.DeviceHandle != INVALID_HANDLE_VALUE && s.ReadHandle != INVALID_HANDLE_VALUE &&
              s.ReadEvent != 0 && s.ReadOverlapped.hEvent == s.ReadEvent,
          "both handles and the read event are open");
    Check(s.DevicePath.rfind("/dev/hidraw", 0) == 0, "the path is a hidraw node: " + s.DevicePath);
    CheckEq(s.Attributes.VendorID, DEVICE_VENDOR_ID, "vendor ID");
    CheckEq(s.Attributes.ProductID, DEVICE_PRODUCT_ID, "product ID");
    CheckEq(s.Caps.InputReportByteLength, 65, "input report length as Windows gives it");
    CheckEq(s.Caps.OutputReportByteLength, 0, "no output report");
    CheckEq(s.Caps.FeatureReportByteLength, 9, "feature report length as Windows gives it");
    CheckEq(s.Caps.UsagePage, 0xFF00, "vendor-defined usage page");
    CheckEq(s.Caps.Usage, 1, "usage");

    // The strings, read as the walk and the refresh read them.
    BOOL ok = 0;
    CheckText(StringRead(api, &ApiDeclarations::HidD_GetSerialNumberString, s.DeviceHandle, ok), SERIAL_A,
              "serial number");
    Check(ok != 0, "the serial number read succeeds");
    CheckText(StringRead(api, &ApiDeclarations::HidD_GetProductString, s.ReadHandle, ok), PRODUCT_NAME,
              "product string from the device name");
    Check(ok != 0, "the product read succeeds");
    // uhid devices have no USB parent, so no manufacturer: an empty string, read successfully.
    CheckText(StringRead(api, &ApiDeclarations::HidD_GetManufacturerString, s.ReadHandle, ok), "",
              "manufacturer string");
    Check(ok != 0, "the manufacturer read succeeds");

    // The status report and the two commands, as the window sends them.
    auto status = ReadStatus(s, api);
    Check(status && status->frequencyHz == 12345678 && status->amplitudeIndex == 77,
          "the status report decodes the generator's settings (12345678 Hz, index 77)");
    s.SettingsLoaded = true;
    s.RefreshComplete = true;
    Check(SendFrequency(s, api, 25000) && s.LastResult != 0, "the frequency command is sent and succeeds");
    Check(SendAmplitude(s, api, 510) && s.LastResult != 0, "the amplitude command is sent and succeeds");
    status = ReadStatus(s, api);
    Check(status && status->frequencyHz == 25000 && status->amplitudeIndex == 510,
          "the generator kept both settings (25000 Hz, index 510)");
    // A request longer than the device's reply: the reply, then zeros to the length asked for.
    std::vector<std::uint8_t> longer(16, 0xEE);
    longer[0] = 0;
    const BOOL longOk = api.HidD_GetFeature(s.DeviceHandle, longer.data(), 16);
    Check(longOk && longer == std::vector<std::uint8_t>{0, 0, 0, 0xA8, 0x61, 0, 0, 0xFE, 0x01, 0, 0, 0, 0, 0, 0, 0},
          "a request longer than the reply is filled with the reply and zeros");
    // Byte 0 goes to the device as the report ID: this one has no report 1 and refuses it.
    std::vector<std::uint8_t> numbered = EncodeFrequencyCommand(30000, 9);
    numbered[0] = 1;
    Check(api.HidD_SetFeature(s.DeviceHandle, numbered.data(), 9) == 0, "a frame for report ID 1 is refused");

    // The poll read: answered while the generator streams, not answered while it is silent.
    Probe probe;
    Check(PollUntilAnswered(api, s, &probe), "a poll read succeeds while the generator streams");
    CheckEq(probe.count, 65u, "the read gives the 64-byte report with its ID byte");
    CheckEq(probe.bytes[0], 0, "byte 0 is the report ID 0");
    CheckEq(probe.bytes[1], 0xA5, "the report's own bytes follow it");
    a.Signal(SIGUSR1);
    Check(a.WaitForLine("STREAM off"), "the generator stops streaming");
    std::this_thread::sleep_for(50ms);  // a report sent just before the stop may still be on its way
    Check(PollUntilSilent(api, s), "once the queued reports are read, the poll read fails at once");
    Check(PollRead(api, s) == 0, "and fails again while nothing is sent");
    a.Signal(SIGUSR2);
    Check(a.WaitForLine("STREAM on"), "the generator streams again");
    Check(PollUntilAnswered(api, s), "a poll read succeeds again");

    CheckPlatformContracts(api);

    // Unplug A with its handles open: the poll read fails, and so do feature reports.
    a.Signal(SIGTERM);
    CheckEq(a.WaitForExit(), 0, "the generator unplugs itself and ends");
    Check(PollUntilSilent(api, s), "after the unplug the poll read fails");
    Check(PollRead(api, s) == 0, "and keeps failing");
    std::vector<std::uint8_t> frame(9, 0);
    Check(api.HidD_GetFeature(s.DeviceHandle, frame.data(), 9) == 0, "a status request to the unplugged device fails");
    CloseDevice(api, s);

    // The next search finds only B and opens it: the last listed.
    const bool onlyB = ScanUntil(c, list, {SERIAL_B});
    Check(onlyB, "the next scan lists only the other generator " + Text(list.Ours()));
    list.Select(list.IndexOf(SERIAL_B));
    Check(FindTheHid(c), "FindTheHid opens it");
    status = ReadStatus(s, api);
    Check(status && status->frequencyHz == 350000000 && status->amplitudeIndex == 510,
          "its status is its own (350000000 Hz, index 510)");
    CloseDevice(api, s);
    b.Signal(SIGTERM);
    CheckEq(b.WaitForExit(), 0, "the other generator unplugs itself and ends");
    Check(ScanUntil(c, list, {}), "with both unplugged the scan lists neither");
    list.Select(-1);
    Check(!FindTheHid(c) && !s.DeviceAttached && s.DeviceHandle == INVALID_HANDLE_VALUE,
          "FindTheHid finds nothing and leaves nothing open");
    Check(api.CloseHandle(s.ReadEvent) != 0, "the read event closes");

    // What each generator received, byte for byte, in order.
    const std::vector<std::string> setA = {
        "SET_REPORT type=feature id=0 bytes=00 01 00 A8 61 00 00 00 00 | frequency 25000",
        "SET_REPORT type=feature id=0 bytes=00 02 00 FE 01 00 00 00 00 | amplitude 510",
        "SET_REPORT type=feature id=1 bytes=01 01 00 30 75 00 00 00 00 | refused",
    };
    const std::vector<std::string> getA = {
        "GET_REPORT type=feature id=0 reply=00 00 00 4E 61 BC 00 4D 00 | frequency 12345678 amplitude 77",
        "GET_REPORT type=feature id=0 reply=00 00 00 A8 61 00 00 FE 01 | frequency 25000 amplitude 510",
        "GET_REPORT type=feature id=0 reply=00 00 00 A8 61 00 00 FE 01 | frequency 25000 amplitude 510",
    };
    const std::vector<std::string> getB = {
        "GET_REPORT type=feature id=0 reply=00 00 00 80 93 DC 14 FE 01 | frequency 350000000 amplitude 510",
    };
    Check(a.Lines("SET_REPORT") == setA, "generator A received exactly the three frames " + Text(a.Lines("SET_REPORT")));
    Check(a.Lines("GET_REPORT") == getA, "generator A answered exactly three status requests " + Text(a.Lines("GET_REPORT")));
    Check(a.Lines("OUTPUT").empty(), "generator A received no output report");
    Check(b.Lines("SET_REPORT").empty(), "generator B received no command " + Text(b.Lines("SET_REPORT")));
    Check(b.Lines("GET_REPORT") == getB, "generator B answered exactly one status request");
    return g_failures;
}

}  // namespace

int main(int argc, char** argv) {
    std::string virtualProgram;
    unsigned deadline = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--virtual") == 0) virtualProgram = argv[i + 1];
        if (std::strcmp(argv[i], "--deadline") == 0) deadline = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    if (virtualProgram.empty()) {
        std::fprintf(stderr, "usage: tarvo_kernel_e2e --virtual PATH [--deadline SECONDS]\n");
        return 2;
    }
    signal(SIGALRM, OnDeadline);
    alarm(deadline);
    const int failures = Run(virtualProgram);
    if (failures == 0)
        std::printf("KERNEL_E2E PASS\n");
    else
        std::printf("KERNEL_E2E FAIL (%d checks failed)\n", failures);
    return failures == 0 ? 0 : 1;
}
