// The operating-system operations the utility uses to reach HID devices, under their Windows names.
//
// Every device access of the program goes through one ApiDeclarations object. Three implementations exist:
// Win32 (SetupAPI, hid.dll, kernel32), hidapi (Linux and macOS) and simulated (tests and the demo). The
// callers above this header never see a platform type.
//
// Records carry what the callers need, not the platform's layout. Where a Windows record has a size field
// (SP_DEVICE_INTERFACE_DATA, SP_DEVICE_INTERFACE_DETAIL_DATA_A, SECURITY_ATTRIBUTES, HIDD_ATTRIBUTES), each
// implementation fills it with its own platform's size, so 32-bit and 64-bit builds both work.
//
// Results follow the Windows conventions: BOOL is non-zero on success, HidP_GetCaps returns an NTSTATUS
// (HIDP_STATUS_SUCCESS on success), CreateFileA returns INVALID_HANDLE_VALUE on failure, CreateEventA 0.
// No operation throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

using BOOL = std::int32_t;
using NTSTATUS = std::int32_t;

// An opaque platform handle (a Windows HANDLE, or a number the implementation gives out).
using Handle = std::uintptr_t;
inline constexpr Handle INVALID_HANDLE_VALUE = ~Handle{0};
using HDEVINFO = Handle;
using PreparsedData = std::uintptr_t;  // opaque; 0 means none

inline constexpr NTSTATUS HIDP_STATUS_SUCCESS = 0x00110000;

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};
};

// Flags of SetupDiGetClassDevsA.
inline constexpr std::uint32_t DIGCF_PRESENT = 0x02;
inline constexpr std::uint32_t DIGCF_DEVICEINTERFACE = 0x10;

// CreateFileA arguments.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// SECURITY_ATTRIBUTES without its length field: the implementation supplies the platform's length.
struct SECURITY_ATTRIBUTES {
    void* lpSecurityDescriptor = nullptr;
    BOOL bInheritHandle = 0;
};

// SP_DEVICE_INTERFACE_DATA: one interface of a device-information set.
struct SP_DEVICE_INTERFACE_DATA {
    GUID InterfaceClassGuid{};
    std::uint32_t Flags = 0;
    std::uintptr_t Reserved = 0;  // the implementation's own reference to the interface
};

// HIDD_ATTRIBUTES without its size field.
struct HIDD_ATTRIBUTES {
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    std::uint16_t VersionNumber = 0;
};

// HIDP_CAPS, the whole record as HidP_GetCaps fills it.
struct HIDP_CAPS {
    std::uint16_t Usage = 0;
    std::uint16_t UsagePage = 0;
    std::uint16_t InputReportByteLength = 0;
    std::uint16_t OutputReportByteLength = 0;
    std::uint16_t FeatureReportByteLength = 0;
    std::uint16_t Reserved[17] = {};
    std::uint16_t NumberLinkCollectionNodes = 0;
    std::uint16_t NumberInputButtonCaps = 0;
    std::uint16_t NumberInputValueCaps = 0;
    std::uint16_t NumberInputDataIndices = 0;
    std::uint16_t NumberOutputButtonCaps = 0;
    std::uint16_t NumberOutputValueCaps = 0;
    std::uint16_t NumberOutputDataIndices = 0;
    std::uint16_t NumberFeatureButtonCaps = 0;
    std::uint16_t NumberFeatureValueCaps = 0;
    std::uint16_t NumberFeatureDataIndices = 0;
};

// OVERLAPPED of the input-report read channel.
struct OVERLAPPED {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    Handle hEvent = 0;
};

// The offset of the path in the interface-detail buffer; bytes 0 to 3 hold the platform's size header.
inline constexpr std::size_t DETAIL_PATH_OFFSET = 4;

class ApiDeclarations {
public:
    virtual ~ApiDeclarations() = default;

    // Writes the HID device-interface class GUID into guid.
    virtual void HidD_GetHidGuid(GUID& guid) = 0;

    // Takes a snapshot of the present interfaces of the class. The walk order of the snapshot is fixed until
    // it is destroyed. Returns INVALID_HANDLE_VALUE on failure.
    virtual HDEVINFO SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parentWindow,
                                          std::uint32_t flags) = 0;

    // Fills data with the interface at memberIndex; zero when there is none (the end of the walk).
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* deviceInfo, const GUID& guid,
                                             std::uint32_t memberIndex, SP_DEVICE_INTERFACE_DATA& data) = 0;

    // With detail == nullptr and detailSize 0: sets requiredSize to the detail size and returns zero, as
    // Windows does. Otherwise writes the platform's size header into bytes 0 to 3 of detail and the
    // NUL-terminated ANSI path from DETAIL_PATH_OFFSET on, never more than detailSize bytes; requiredSize
    // receives the size needed. Returns non-zero when the whole detail fitted.
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data,
                                                  std::uint8_t* detail, std::uint32_t detailSize,
                                                  std::uint32_t* requiredSize, void* deviceInfo) = 0;

    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

    // Opens a device path. flagsAndAttributes is 0 or FILE_FLAG_OVERLAPPED; an overlapped handle's reads
    // return at once. Returns INVALID_HANDLE_VALUE on failure.
    virtual Handle CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                               const SECURITY_ATTRIBUTES* security, std::uint32_t creationDisposition,
                               std::uint32_t flagsAndAttributes, Handle templateFile) = 0;

    virtual BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) = 0;

    // The three string reads: write a NUL-terminated UTF-16LE string into buffer, never more than
    // bufferLength bytes; the terminating zero is written only where it fits. Non-zero on success.
    virtual BOOL HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) = 0;
    virtual BOOL HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) = 0;
    virtual BOOL HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) = 0;

    // Preparsed data lives until HidD_FreePreparsedData; on failure preparsed is left unchanged.
    virtual BOOL HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) = 0;
    virtual NTSTATUS HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) = 0;
    virtual BOOL HidD_FreePreparsedData(PreparsedData preparsed) = 0;

    // Feature reports: buffer[0] is the report ID (0 for a device without numbered reports) and length
    // counts it. GetFeature overwrites the buffer with the device's report on success.
    virtual BOOL HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual BOOL HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) = 0;

    // Returns 0 on failure.
    virtual Handle CreateEventA(const SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                                const char* name) = 0;

    // Reads one input report. On an overlapped handle it never waits: non-zero only when a report was already
    // waiting. A read that cannot complete at once is cancelled before the call returns, so the buffer may be
    // released as soon as it does.
    virtual BOOL ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                          OVERLAPPED* overlapped) = 0;

    virtual BOOL CloseHandle(Handle object) = 0;

    // Text of the system's single-byte (ANSI) code page, as UTF-8. The default maps each byte to the code point
    // of the same value (ISO 8859-1); the Win32 implementation uses the Windows ANSI code page.
    virtual std::string AnsiToUtf8(std::string_view ansi) const;
};

}  // namespace tarvo
