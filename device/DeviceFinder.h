// Finding and opening pulse generators: the walk over the present HID interfaces.
//
// These are the window's procedures Scan_USB_devices, FindTheHid and their helpers. They work on the window's
// DeviceSession and serial-number list, and reach the system only through ApiDeclarations.
#pragma once

#include "ApiDeclarations.h"
#include "DeviceSession.h"
#include "SerialNumberList.h"

#include <cstdint>

namespace tarvo {

// The USB identifiers of the pulse generator model. Change these two constants to drive other hardware that
// speaks the same reports; the udev rule in packaging/ names the same pair.
inline constexpr std::uint16_t DEVICE_VENDOR_ID = 0x1209;
inline constexpr std::uint16_t DEVICE_PRODUCT_ID = 0x0001;

inline constexpr std::uint32_t CLASS_DEVICES_FLAGS = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
inline constexpr std::uint32_t STRING_READ_LENGTH = 100;   // bytes offered to each HID string read
inline constexpr std::size_t STRING_BUFFER_BYTES = 201;    // zero beyond the 100 offered: at most 50 characters

struct DeviceContext {
    DeviceSession& session;
    ApiDeclarations& api;
    SerialNumberList& serials;
};

// Rebuilds the list from the attached pulse generators, in walk order, and selects the last one listed. Leaves
// no handle open and SettingsLoaded false. Runs only while no device is open. Each Select runs the window's
// list handler; SettingsLoaded is made false before the first, and that handler does nothing while it is false.
void Scan_USB_devices(DeviceContext c);

// Examines the interface in InterfaceData: its path into DevicePath, a handle (or INVALID_HANDLE_VALUE) into
// DeviceHandle, and its attributes into Attributes. The attribute read's result is left in LastResult.
void OpenCandidate(DeviceContext c);

// Opens the first pulse generator whose serial number equals the selected list text: DeviceHandle, Caps,
// ReadHandle and the read channel. Returns true (and sets DeviceAttached) when it did. Leaves every other
// candidate closed. Called only while no device is open.
bool FindTheHid(DeviceContext c);

// Closes the open device: DeviceHandle, then ReadHandle, each result in LastResult. A handle that never opened
// is not closed, and each is left invalid, so nothing is closed twice. DeviceAttached is the caller's to change
// (shut-down leaves it as it is). The read event stays.
void CloseDevice(DeviceSession& s, ApiDeclarations& api);

// Reads Caps of the device on DeviceHandle; Caps keeps its old values when the preparsed data is not had.
void ReadReportCaps(DeviceContext c);

// Creates ReadEvent once and points ReadOverlapped at it.
void OpenReadEvent(DeviceContext c);

// Whether the attribute read succeeded and names a pulse generator.
bool IsPulseGenerator(const DeviceSession& s);

}  // namespace tarvo
