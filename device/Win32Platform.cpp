#include "Win32Platform.h"

#include "PlatformFactory.h"

#include "Win32Records.h"  // last: windows.h macros

#include <algorithm>
#include <climits>
#include <memory>

namespace tarvo {

using win32::FromNative;
using win32::ToNative;

namespace {

BOOL Result(BOOLEAN ok) { return ok ? 1 : 0; }

ULONG Length(std::uint32_t n) { return static_cast<ULONG>(n); }

// Equals NTSTATUS 0xC0110001.
constexpr NTSTATUS INVALID_PREPARSED_DATA = HIDP_STATUS_INVALID_PREPARSED_DATA;

}  // namespace

void Win32Platform::HidD_GetHidGuid(GUID& guid) {
    ::GUID native{};
    ::HidD_GetHidGuid(&native);
    guid = FromNative(native);
}

HDEVINFO Win32Platform::SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parentWindow,
                                             std::uint32_t flags) {
    const ::GUID native = ToNative(guid);
    return FromNative(::SetupDiGetClassDevsA(&native, enumerator, reinterpret_cast<HWND>(parentWindow), flags));
}

BOOL Win32Platform::SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* deviceInfo, const GUID& guid,
                                                std::uint32_t memberIndex, SP_DEVICE_INTERFACE_DATA& data) {
    if (deviceInfo != nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);  // ApiDeclarations has no device record to translate
        return 0;
    }
    const ::GUID nativeGuid = ToNative(guid);
    ::SP_DEVICE_INTERFACE_DATA native = win32::EmptyInterfaceData();
    if (!::SetupDiEnumDeviceInterfaces(ToNative(set), nullptr, &nativeGuid, memberIndex, &native)) return 0;
    data = FromNative(native);
    interfaces_.emplace(set, data.Reserved);
    return 1;
}

BOOL Win32Platform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data,
                                                     std::uint8_t* detail, std::uint32_t detailSize,
                                                     std::uint32_t* requiredSize, void* deviceInfo) {
    // Windows follows Reserved as a pointer into the set: only values this set gave out may reach it.
    if (deviceInfo != nullptr || interfaces_.count({set, data.Reserved}) == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ::SP_DEVICE_INTERFACE_DATA native = ToNative(data);
    // Too short for the header and a path byte: nothing is written, only the size is asked for.
    const bool fill = detail != nullptr && detailSize >= win32::DETAIL_MIN_BYTES;
    if (fill) win32::WriteDetailHeader(detail);
    DWORD required = 0;
    const BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(
        ToNative(set), &native, fill ? reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail) : nullptr,
        fill ? detailSize : 0, &required, nullptr);
    if (requiredSize != nullptr) *requiredSize = required;
    return ok ? 1 : 0;
}

BOOL Win32Platform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    auto it = interfaces_.lower_bound({set, 0});
    while (it != interfaces_.end() && it->first == set) it = interfaces_.erase(it);
    return ::SetupDiDestroyDeviceInfoList(ToNative(set)) ? 1 : 0;
}

Handle Win32Platform::CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                  const SECURITY_ATTRIBUTES* security, std::uint32_t creationDisposition,
                                  std::uint32_t flagsAndAttributes, Handle templateFile) {
    ::SECURITY_ATTRIBUTES native{};
    if (security != nullptr) native = ToNative(*security);
    return FromNative(::CreateFileA(path, desiredAccess, shareMode, security != nullptr ? &native : nullptr,
                                    creationDisposition, flagsAndAttributes, ToNative(templateFile)));
}

BOOL Win32Platform::HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) {
    ::HIDD_ATTRIBUTES native = win32::EmptyAttributes();
    if (!::HidD_GetAttributes(ToNative(device), &native)) return 0;
    attributes.VendorID = native.VendorID;
    attributes.ProductID = native.ProductID;
    attributes.VersionNumber = native.VersionNumber;
    return 1;
}

BOOL Win32Platform::HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetSerialNumberString(ToNative(device), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetManufacturerString(ToNative(device), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetProductString(ToNative(device), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) {
    PHIDP_PREPARSED_DATA native = nullptr;
    if (!::HidD_GetPreparsedData(ToNative(device), &native)) return 0;
    preparsed = reinterpret_cast<PreparsedData>(native);
    return 1;
}

NTSTATUS Win32Platform::HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) {
    if (preparsed == 0) return INVALID_PREPARSED_DATA;  // hid.dll would read through the null pointer
    ::HIDP_CAPS native{};
    const NTSTATUS status = ::HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed), &native);
    if (status == HIDP_STATUS_SUCCESS) caps = FromNative(native);
    return status;
}

BOOL Win32Platform::HidD_FreePreparsedData(PreparsedData preparsed) {
    if (preparsed == 0) return 0;
    return Result(::HidD_FreePreparsedData(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed)));
}

BOOL Win32Platform::HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) {
    // hid.dll takes a non-const pointer but only reads a set-feature buffer.
    return Result(::HidD_SetFeature(ToNative(device), const_cast<std::uint8_t*>(buffer), Length(length)));
}

BOOL Win32Platform::HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) {
    return Result(::HidD_GetFeature(ToNative(device), buffer, Length(length)));
}

Handle Win32Platform::CreateEventA(const SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                                   const char* name) {
    ::SECURITY_ATTRIBUTES native{};
    if (security != nullptr) native = ToNative(*security);
    const char* nativeName = (name != nullptr && *name != '\0') ? name : nullptr;
    return FromNative(::CreateEventA(security != nullptr ? &native : nullptr, manualReset, initialState, nativeName));
}

BOOL Win32Platform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                             OVERLAPPED* overlapped) {
    DWORD count = 0;
    if (overlapped == nullptr) {
        const BOOL ok = ::ReadFile(ToNative(file), buffer, bytesToRead, &count, nullptr);
        if (bytesRead != nullptr) *bytesRead = count;
        return ok ? 1 : 0;
    }
    // The native record lives only for this call: no read outlives it.
    ::OVERLAPPED native{};
    native.Offset = overlapped->Offset;
    native.OffsetHigh = overlapped->OffsetHigh;
    native.hEvent = ToNative(overlapped->hEvent);
    BOOL ok = ::ReadFile(ToNative(file), buffer, bytesToRead, &count, &native) ? 1 : 0;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        // No report is waiting. The caller releases the buffer when this returns, so end the read first and
        // wait until the system has let go of the buffer and the record.
        ::CancelIoEx(ToNative(file), &native);
        DWORD ignored = 0;
        ::GetOverlappedResult(ToNative(file), &native, &ignored, TRUE);
    }
    overlapped->Internal = native.Internal;
    overlapped->InternalHigh = native.InternalHigh;
    if (bytesRead != nullptr) *bytesRead = ok ? count : 0;
    return ok;
}

BOOL Win32Platform::CloseHandle(Handle object) { return ::CloseHandle(ToNative(object)) ? 1 : 0; }

std::string Win32Platform::AnsiToUtf8(std::string_view ansi) const {
    if (ansi.empty()) return {};
    const int inLength = static_cast<int>(std::min<std::size_t>(ansi.size(), INT_MAX));
    const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), inLength, nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), inLength, wide.data(), wideLength);
    const int utf8Length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0) return {};
    std::string utf8(static_cast<std::size_t>(utf8Length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), utf8Length, nullptr, nullptr);
    return utf8;
}

std::unique_ptr<ApiDeclarations> MakeSystemPlatform() { return std::make_unique<Win32Platform>(); }

}  // namespace tarvo
