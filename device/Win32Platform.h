// The Windows operating-system layer: SetupAPI, hid.dll and kernel32 behind ApiDeclarations.
//
// Each operation is the Windows call of the same name. What the Windows records need and ours leave out is
// supplied here: every size field holds sizeof of the native record of this build (32- or 64-bit), and an
// interface record's Reserved carries the native reference that the detail call needs. This header does not
// include windows.h; handles are the native HANDLE values as numbers.
#pragma once

#include "ApiDeclarations.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tarvo {

class Win32Platform : public ApiDeclarations {
public:
    void HidD_GetHidGuid(GUID& guid) override;
    HDEVINFO SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parentWindow,
                                  std::uint32_t flags) override;
    // deviceInfo must be null: the walks enumerate every interface of the class.
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* deviceInfo, const GUID& guid, std::uint32_t memberIndex,
                                     SP_DEVICE_INTERFACE_DATA& data) override;
    // data must come from SetupDiEnumDeviceInterfaces on the same, still living set; otherwise zero with
    // ERROR_INVALID_PARAMETER. A non-null detail shorter than the size header and one path byte is not written to:
    // the call then only reports requiredSize. deviceInfo must be null.
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data, std::uint8_t* detail,
                                          std::uint32_t detailSize, std::uint32_t* requiredSize,
                                          void* deviceInfo) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    Handle CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       const SECURITY_ATTRIBUTES* security, std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes, Handle templateFile) override;
    // attributes is written only on success.
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) override;
    BOOL HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) override;
    // caps is written only on success; preparsed data 0 gives HIDP_STATUS_INVALID_PREPARSED_DATA.
    NTSTATUS HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) override;
    BOOL HidD_FreePreparsedData(PreparsedData preparsed) override;
    BOOL HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) override;
    BOOL HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) override;
    // An empty name creates an unnamed event, as a null one does.
    Handle CreateEventA(const SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                        const char* name) override;
    // With an overlapped record: one overlapped read signalling overlapped->hEvent. A read that does not complete
    // at once is cancelled, and the cancellation waited for, before zero is returned; no read is left in flight.
    // Internal and InternalHigh receive the completion status and count.
    BOOL ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                  OVERLAPPED* overlapped) override;
    BOOL CloseHandle(Handle object) override;
    // Through the Windows ANSI code page of the process (CP_ACP).
    std::string AnsiToUtf8(std::string_view ansi) const override;

private:
    // Native Reserved values handed out per living set: the detail call accepts only these.
    std::set<std::pair<HDEVINFO, std::uintptr_t>> interfaces_;
};

}  // namespace tarvo
