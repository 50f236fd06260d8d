// The Windows operating-system layer: SetupAPI, hid.dll and kernel32 behind ApiDeclarations.
//
// Each operation is the Windows call of the same name. What the Windows records need and ours leave out is
// supplied here: every size field holds sizeof of the native record of this build (32- or 64-bit), and an
// interface record's Reserved carries the native reference that the detail call needs. This header does not
// include windows.h; handles are the native HANDLE values as numbers.
//
// Where the system announces HID interface arrivals and removals (CM_Register_Notification, Windows 8 and later)
// the walks are answered from what the layer already knows while none was announced:
// - SetupDiGetClassDevsA for the HID class gives the set of the last walk again (its destroy keeps it);
// - CreateFileA of an interface whose attributes named another device than the pulse generator gives what its
//   first open gave: on failure INVALID_HANDLE_VALUE with the same error, on success a stand-in handle whose
//   attributes are those read then, and which opens the interface for real only if more is asked of it.
// A pulse generator is opened by every walk. The notification comes from a system thread a few milliseconds
// after the interface appears in enumeration: a walk in between still gives the interfaces before it.
// Without the notification (Windows 7, Wine 8) every walk enumerates and opens as before.
#pragma once

#include "ApiDeclarations.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tarvo {

class Win32Platform : public ApiDeclarations {
public:
    Win32Platform();
    ~Win32Platform() override;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;

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

protected:
    // For tests on a system without the notification (Wine): a platform that answers from what it knows until
    // InterfacesChanged is called.
    struct ChangesToldByCaller {};
    explicit Win32Platform(ChangesToldByCaller);
    // What the notification does: the next walk enumerates and opens everything again.
    void InterfacesChanged();

private:
    struct Notification;
    // What the layer remembers of an interface while no change is announced.
    struct KnownInterface {
        bool pulseGenerator = false;
        bool opened = false;
        std::uint32_t error = 0;  // of a failed open
        HIDD_ATTRIBUTES attributes;
    };
    // A handle given for another device's interface without opening it.
    struct StandIn {
        std::string path;
        std::uint32_t access = 0, share = 0, disposition = 0, flags = 0;
        bool hasSecurity = false;
        SECURITY_ATTRIBUTES security;
        HIDD_ATTRIBUTES attributes;
        Handle opened = INVALID_HANDLE_VALUE;  // until something more than the attributes is asked
    };

    bool Remembering() const;
    std::uint32_t Changes() const;
    // Learns whether a path that failed to open is another device's interface (an open without access).
    void LearnFailedOpen(const std::string& path, std::uint32_t error);
    Handle AddStandIn(StandIn standIn);
    // The native handle of a handle given out here: a stand-in's interface is opened now.
    Handle Native(Handle h);
    void ReleaseSet();

    // Native Reserved values handed out per living set: the detail call accepts only these.
    std::set<std::pair<HDEVINFO, std::uintptr_t>> interfaces_;

    std::unique_ptr<Notification> notification_;
    bool toldByCaller_ = false;
    std::uint32_t told_ = 0;
    // The HID interface set of the last walk, while no change was announced since it was made.
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::uint32_t setChanges_ = 0;
    bool setInUse_ = false;
    // Interfaces met by walks since the last announced change, by path.
    std::map<std::string, KnownInterface> known_;
    std::uint32_t knownChanges_ = 0;
    // Real handles opened by CreateFileA whose attributes are not read yet, with their paths.
    std::map<Handle, std::string> examined_;
    std::map<Handle, StandIn> standIns_;
    std::uintptr_t nextStandIn_ = 0;
};

}  // namespace tarvo
