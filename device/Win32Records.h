// The native Windows records behind ours, built with the size fields this build's Windows checks.
//
// Only the Win32 layer and its tests include this header, and only after every other tarvo header: windows.h
// defines INVALID_HANDLE_VALUE, GENERIC_READ, DIGCF_PRESENT, HIDP_STATUS_SUCCESS and more as macros, which would
// break the declarations of ApiDeclarations.h if these came later.
#pragma once

#include "ApiDeclarations.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <setupapi.h>
// The HID headers declare C functions without extern "C".
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvo::win32 {

static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == DETAIL_PATH_OFFSET,
              "the path follows the 4-byte size header");

// The smallest detail buffer Windows fills: the size header and one path byte.
inline constexpr std::uint32_t DETAIL_MIN_BYTES = DETAIL_PATH_OFFSET + 1;

inline HANDLE ToNative(Handle h) { return reinterpret_cast<HANDLE>(h); }
inline Handle FromNative(HANDLE h) { return reinterpret_cast<Handle>(h); }

inline ::GUID ToNative(const tarvo::GUID& g) {
    ::GUID n;
    n.Data1 = g.Data1;
    n.Data2 = g.Data2;
    n.Data3 = g.Data3;
    std::memcpy(n.Data4, g.Data4, sizeof n.Data4);
    return n;
}

inline tarvo::GUID FromNative(const ::GUID& n) {
    tarvo::GUID g;
    g.Data1 = n.Data1;
    g.Data2 = n.Data2;
    g.Data3 = n.Data3;
    std::memcpy(g.Data4, n.Data4, sizeof g.Data4);
    return g;
}

inline ::SECURITY_ATTRIBUTES ToNative(const tarvo::SECURITY_ATTRIBUTES& s) {
    ::SECURITY_ATTRIBUTES n{};
    n.nLength = sizeof n;
    n.lpSecurityDescriptor = s.lpSecurityDescriptor;
    n.bInheritHandle = s.bInheritHandle;
    return n;
}

// data.Reserved must be the native reference that SetupDiEnumDeviceInterfaces gave out.
inline ::SP_DEVICE_INTERFACE_DATA ToNative(const tarvo::SP_DEVICE_INTERFACE_DATA& d) {
    ::SP_DEVICE_INTERFACE_DATA n{};
    n.cbSize = sizeof n;
    n.InterfaceClassGuid = ToNative(d.InterfaceClassGuid);
    n.Flags = d.Flags;
    n.Reserved = d.Reserved;
    return n;
}

inline tarvo::SP_DEVICE_INTERFACE_DATA FromNative(const ::SP_DEVICE_INTERFACE_DATA& n) {
    tarvo::SP_DEVICE_INTERFACE_DATA d;
    d.InterfaceClassGuid = FromNative(n.InterfaceClassGuid);
    d.Flags = n.Flags;
    d.Reserved = n.Reserved;
    return d;
}

inline ::SP_DEVICE_INTERFACE_DATA EmptyInterfaceData() {
    ::SP_DEVICE_INTERFACE_DATA n{};
    n.cbSize = sizeof n;
    return n;
}

// Writes the size header of SP_DEVICE_INTERFACE_DETAIL_DATA_A into bytes 0 to 3 of a detail buffer.
inline void WriteDetailHeader(std::uint8_t* detail) {
    const DWORD size = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    std::memcpy(detail, &size, sizeof size);  // the buffer need not be aligned
}

inline ::HIDD_ATTRIBUTES EmptyAttributes() {
    ::HIDD_ATTRIBUTES n{};
    n.Size = sizeof n;
    return n;
}

inline tarvo::HIDP_CAPS FromNative(const ::HIDP_CAPS& n) {
    tarvo::HIDP_CAPS c;
    c.Usage = n.Usage;
    c.UsagePage = n.UsagePage;
    c.InputReportByteLength = n.InputReportByteLength;
    c.OutputReportByteLength = n.OutputReportByteLength;
    c.FeatureReportByteLength = n.FeatureReportByteLength;
    for (std::size_t i = 0; i < sizeof c.Reserved / sizeof c.Reserved[0]; ++i) c.Reserved[i] = n.Reserved[i];
    c.NumberLinkCollectionNodes = n.NumberLinkCollectionNodes;
    c.NumberInputButtonCaps = n.NumberInputButtonCaps;
    c.NumberInputValueCaps = n.NumberInputValueCaps;
    c.NumberInputDataIndices = n.NumberInputDataIndices;
    c.NumberOutputButtonCaps = n.NumberOutputButtonCaps;
    c.NumberOutputValueCaps = n.NumberOutputValueCaps;
    c.NumberOutputDataIndices = n.NumberOutputDataIndices;
    c.NumberFeatureButtonCaps = n.NumberFeatureButtonCaps;
    c.NumberFeatureValueCaps = n.NumberFeatureValueCaps;
    c.NumberFeatureDataIndices = n.NumberFeatureDataIndices;
    return c;
}

}  // namespace tarvo::win32
