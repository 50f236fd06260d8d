// The utility's own device code on the real Linux HID stack: HidapiPlatform (hidapi, hidraw) against virtual
// pulse generators made through /dev/uhid by tarvo-pulse-generator-virtual.
//
//   tarvo_kernel_e2e --virtual PATH --foreign PATH [--deadline SECONDS]
//
// Runs the walk (Scan_USB_devices, FindTheHid), the report lengths, the strings, the status read and the
// commands, the poll read with and without a stream, unplugging, and the platform's own contracts, then checks
// every report each generator received, byte for byte. Then the searches while generators are plugged in and
// unplugged among other devices' interfaces (tarvo-foreign-hid-virtual; hotplug_e2e.cpp). Prints one line per check and ends with
// "KERNEL_E2E PASS" (status 0) or "KERNEL_E2E FAIL" (status 1). Needs /dev/uhid and root.
#include "e2e_support.h"

#include "device/DeviceFinder.h"
#include "device/HidString.h"
#include "device/HidapiPlatform.h"
#include "device/GeneratorRequests.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tarvo;
using namespace tarvo::e2e;
using namespace std::chrono_literals;

const char* const SERIAL_A = "TPG-E2E-A";
const char* const SERIAL_B = "TPG-E2E-B";
const char* const PRODUCT_NAME = "Tarvo Pulse Generator (virtual)";

void OnDeadline(int) {
    const char line[] = "KERNEL_E2E FAIL (deadline passed)\n";
    (void)!write(STDOUT_FILENO, line, sizeof line - 1);
    _exit(1);
}


std::string StringRead(ApiDeclarations& api, BOOL (ApiDeclarations::*read)(Handle, std::uint8_t*, std::uint32_t),
                       Handle h, BOOL& ok) {
    std::vector<std::uint8_t> buffer(STRING_BUFFER_BYTES, 0);
    ok = (api.*read)(h, buffer.data(), STRING_READ_LENGTH);
    return HidStringToText(api, buffer.data(), buffer.size());
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
    Check(status.outcome == GeneratorOutcome::Done && status.status.frequencyHz == 12345678 &&
              status.status.amplitudeIndex == 77,
          "the status report decodes the generator's settings (12345678 Hz, index 77)");
    Check(SendFrequency(s, api, 25000) == GeneratorOutcome::Done && s.LastResult != 0,
          "the frequency command is sent and succeeds");
    Check(SendAmplitude(s, api, 510) == GeneratorOutcome::Done && s.LastResult != 0,
          "the amplitude command is sent and succeeds");
    status = ReadStatus(s, api);
    Check(status.outcome == GeneratorOutcome::Done && status.status.frequencyHz == 25000 &&
              status.status.amplitudeIndex == 510,
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
    Check(status.outcome == GeneratorOutcome::Done && status.status.frequencyHz == 350000000 &&
              status.status.amplitudeIndex == 510,
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
    std::string foreignProgram;
    unsigned deadline = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--virtual") == 0) virtualProgram = argv[i + 1];
        if (std::strcmp(argv[i], "--foreign") == 0) foreignProgram = argv[i + 1];
        if (std::strcmp(argv[i], "--deadline") == 0) deadline = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    if (virtualProgram.empty() || foreignProgram.empty()) {
        std::fprintf(stderr, "usage: tarvo_kernel_e2e --virtual PATH --foreign PATH [--deadline SECONDS]\n");
        return 2;
    }
    signal(SIGALRM, OnDeadline);
    alarm(deadline);
    Run(virtualProgram);
    RunHotplugChecks(virtualProgram, foreignProgram);
    const int failures = g_failures;
    if (failures == 0)
        std::printf("KERNEL_E2E PASS\n");
    else
        std::printf("KERNEL_E2E FAIL (%d checks failed)\n", failures);
    return failures == 0 ? 0 : 1;
}
