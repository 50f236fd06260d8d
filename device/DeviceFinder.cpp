#include "DeviceFinder.h"

#include "HidString.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

namespace tarvo {
namespace {

constexpr std::uint32_t READ_WRITE = GENERIC_READ | GENERIC_WRITE;
constexpr std::uint32_t SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

void FillSecurity(DeviceSession& s) {
    s.Security.lpSecurityDescriptor = nullptr;
    s.Security.bInheritHandle = 1;
}

// Opens the walk's device-information set over the present HID interfaces.
void BeginWalk(DeviceContext c, GUID& classGuid) {
    c.api.HidD_GetHidGuid(classGuid);
    c.session.DeviceInfoSet = c.api.SetupDiGetClassDevsA(classGuid, nullptr, 0, CLASS_DEVICES_FLAGS);
}

void EndWalk(DeviceContext c) {
    c.session.LastResult = c.api.SetupDiDestroyDeviceInfoList(c.session.DeviceInfoSet);
    c.session.DeviceInfoSet = INVALID_HANDLE_VALUE;
}

// Places the interface at memberIndex in InterfaceData; false at the end of the walk.
bool NextInterface(DeviceContext c, const GUID& classGuid, std::int32_t memberIndex) {
    DeviceSession& s = c.session;
    s.InterfaceData = SP_DEVICE_INTERFACE_DATA{};
    s.LastResult = c.api.SetupDiEnumDeviceInterfaces(s.DeviceInfoSet, nullptr, classGuid,
                                                     static_cast<std::uint32_t>(memberIndex), s.InterfaceData);
    return s.LastResult != 0;
}

// Reads the candidate's serial number into buffer; true when the read succeeded.
bool ReadSerial(DeviceContext c, std::array<std::uint8_t, STRING_BUFFER_BYTES>& buffer) {
    c.session.LastResult = c.api.HidD_GetSerialNumberString(c.session.DeviceHandle, buffer.data(), STRING_READ_LENGTH);
    return c.session.LastResult != 0;
}

void CloseCandidate(DeviceContext c) {
    DeviceSession& s = c.session;
    if (s.DeviceHandle == INVALID_HANDLE_VALUE) return;  // a failed open leaves nothing to close
    s.LastResult = c.api.CloseHandle(s.DeviceHandle);
    s.DeviceHandle = INVALID_HANDLE_VALUE;
}

}  // namespace

bool IsPulseGenerator(const DeviceSession& s) {
    return s.LastResult != 0 && s.Attributes.VendorID == DEVICE_VENDOR_ID && s.Attributes.ProductID == DEVICE_PRODUCT_ID;
}

void OpenCandidate(DeviceContext c) {
    DeviceSession& s = c.session;
    std::uint32_t required = 0;
    s.LastResult = c.api.SetupDiGetDeviceInterfaceDetailA(s.DeviceInfoSet, s.InterfaceData, nullptr, 0, &required, nullptr);
    // A size the platform could not report is taken as none; the path then reads as empty and does not open.
    s.RequiredSize = static_cast<std::int32_t>(std::min<std::uint32_t>(required, 0x10000));
    s.DetailSize = s.RequiredSize;
    // One byte more than reported, so the path is NUL-terminated even if the platform filled every byte.
    // The platform writes its own size header into bytes 0 to 3.
    s.DetailBuffer.assign(static_cast<std::size_t>(s.RequiredSize) + 1, 0);
    required = static_cast<std::uint32_t>(s.RequiredSize);
    s.LastResult = c.api.SetupDiGetDeviceInterfaceDetailA(s.DeviceInfoSet, s.InterfaceData, s.DetailBuffer.data(),
                                                          static_cast<std::uint32_t>(s.DetailSize), &required, nullptr);
    s.DevicePath.clear();
    if (s.DetailBuffer.size() > DETAIL_PATH_OFFSET) {
        const char* path = reinterpret_cast<const char*>(s.DetailBuffer.data() + DETAIL_PATH_OFFSET);
        s.DevicePath.assign(path, strnlen(path, s.DetailBuffer.size() - DETAIL_PATH_OFFSET));
    }
    s.DeviceHandle = c.api.CreateFileA(s.DevicePath.c_str(), READ_WRITE, SHARE_READ_WRITE, &s.Security, OPEN_EXISTING,
                                       0, 0);
    s.LastResult = c.api.HidD_GetAttributes(s.DeviceHandle, s.Attributes);
}

void Scan_USB_devices(DeviceContext c) {
    DeviceSession& s = c.session;
    // First: the window's list handler, which the Select below runs, acts only while this is true, so the walk
    // cannot start a nested open through it.
    s.SettingsLoaded = false;
    c.serials.Clear();
    c.serials.SetEnabled(false);
    int lastListed = -1;
    s.EnumerationDone = false;
    FillSecurity(s);
    GUID classGuid;
    BeginWalk(c, classGuid);
    std::array<std::uint8_t, STRING_BUFFER_BYTES> serial{};  // zeroed once per scan, as each read leaves it
    for (std::int32_t memberIndex = 0; !s.EnumerationDone; ++memberIndex) {
        if (!NextInterface(c, classGuid, memberIndex)) {
            s.EnumerationDone = true;
            continue;
        }
        OpenCandidate(c);
        if (IsPulseGenerator(s) && ReadSerial(c, serial)) {
            ++lastListed;
            c.serials.Insert(lastListed, HidStringToText(c.api, serial.data(), serial.size()));
            c.serials.Select(lastListed);
        }
        CloseCandidate(c);
    }
    EndWalk(c);
    if (lastListed > 0) c.serials.SetEnabled(true);
}

bool FindTheHid(DeviceContext c) {
    DeviceSession& s = c.session;
    s.EnumerationDone = false;
    s.DeviceAttached = false;
    FillSecurity(s);
    GUID classGuid;
    BeginWalk(c, classGuid);
    std::array<std::uint8_t, STRING_BUFFER_BYTES> serial{};
    for (std::int32_t memberIndex = 0; !s.EnumerationDone && !s.DeviceAttached; ++memberIndex) {
        if (!NextInterface(c, classGuid, memberIndex)) {
            s.EnumerationDone = true;
            continue;
        }
        OpenCandidate(c);
        if (IsPulseGenerator(s) && ReadSerial(c, serial) &&
            HidStringToText(c.api, serial.data(), serial.size()) == c.serials.SelectedText())
            s.DeviceAttached = true;
        if (!s.DeviceAttached) CloseCandidate(c);
    }
    EndWalk(c);
    if (!s.DeviceAttached) return false;
    ReadReportCaps(c);
    s.ReadHandle = c.api.CreateFileA(s.DevicePath.c_str(), READ_WRITE, SHARE_READ_WRITE, &s.Security, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, 0);
    OpenReadEvent(c);
    return true;
}

void CloseDevice(DeviceSession& s, ApiDeclarations& api) {
    for (Handle* h : {&s.DeviceHandle, &s.ReadHandle}) {
        if (*h == INVALID_HANDLE_VALUE) continue;
        s.LastResult = api.CloseHandle(*h);
        *h = INVALID_HANDLE_VALUE;
    }
}

void ReadReportCaps(DeviceContext c) {
    DeviceSession& s = c.session;
    PreparsedData preparsed = 0;
    s.LastResult = c.api.HidD_GetPreparsedData(s.DeviceHandle, preparsed);
    if (s.LastResult == 0) return;  // nothing was obtained, so nothing is read or released
    s.Preparsed = preparsed;
    HIDP_CAPS caps;
    s.LastResult = c.api.HidP_GetCaps(s.Preparsed, caps);
    if (s.LastResult == HIDP_STATUS_SUCCESS) s.Caps = caps;
    s.LastResult = c.api.HidD_FreePreparsedData(s.Preparsed);
    s.Preparsed = 0;
}

void OpenReadEvent(DeviceContext c) {
    DeviceSession& s = c.session;
    if (s.ReadEvent == 0) s.ReadEvent = c.api.CreateEventA(&s.Security, 1, 1, "");
    s.ReadOverlapped.Offset = 0;
    s.ReadOverlapped.OffsetHigh = 0;
    s.ReadOverlapped.hEvent = s.ReadEvent;
}

}  // namespace tarvo
