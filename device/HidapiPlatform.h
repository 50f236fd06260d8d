// ApiDeclarations on hidapi: the utility's operating-system layer on Linux (hidraw) and macOS.
//
// The Windows operations are mapped onto hidapi as follows.
// - SetupDiGetClassDevsA takes one hid_enumerate snapshot; the walk and the detail calls index it, so the
//   order is fixed for the scan and the open after it. Paths listed more than once (hidapi lists one entry per
//   top-level collection, all on the same node) appear once, at their first place. While the hotplug watch
//   (HidInterfaceWatch.h) has seen no interface plugged in, unplugged or changed, the last snapshot is used
//   again: it is what a new enumeration would give.
// - CreateFileA opens the path with hid_open_path, read and write whatever the access and share arguments say;
//   FILE_FLAG_OVERLAPPED makes the handle non-blocking. An interface whose vendor and product IDs are not the
//   pulse generator's is opened for real only the first time a walk meets it; while the watch sees it stay
//   unchanged, later opens give what that one gave (a handle, or INVALID_HANDLE_VALUE), and the handle opens
//   the device only if something more than its attributes is asked of it. A pulse generator is opened every
//   time, so one that could not be opened is tried again by every walk.
// - HidD_GetAttributes gives vendor, product and release number of the path's enumeration record.
// - The string reads convert hidapi's wide strings into the caller's UTF-16LE buffer (see Utf16Buffer.h).
// - HidD_GetPreparsedData reads the report descriptor (hid_get_report_descriptor from hidapi 0.14, else the
//   hidraw node's report_descriptor in sysfs) and HidP_GetCaps gives the lengths Windows would compute from
//   it. A device with several top-level collections is one node here, so its lengths cover all of them.
// - Feature reports go through hid_send/get_feature_report with the report ID in byte 0.
// - ReadFile gives the report with the report ID in byte 0, as Windows does; for a device without numbered
//   reports that byte is 0 and the report data follow it. On a non-blocking handle it succeeds only when a
//   report was waiting.
// - CreateEventA gives a handle that stands for the event and does nothing else.
//
// Handles are numbers given out by this object; a closed or unknown handle fails every call. Single-threaded,
// like the callers.
#pragma once

#include "ApiDeclarations.h"
#include "HidInterfaceWatch.h"
#include "HidReportDescriptor.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct hid_device_;

namespace tarvo {

class HidapiPlatform final : public ApiDeclarations {
public:
    // Initialises hidapi; the destructor closes every device still open and releases hidapi.
    HidapiPlatform();
    ~HidapiPlatform() override;
    HidapiPlatform(const HidapiPlatform&) = delete;
    HidapiPlatform& operator=(const HidapiPlatform&) = delete;

    void HidD_GetHidGuid(GUID& guid) override;
    HDEVINFO SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parentWindow,
                                  std::uint32_t flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* deviceInfo, const GUID& guid, std::uint32_t memberIndex,
                                     SP_DEVICE_INTERFACE_DATA& data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data, std::uint8_t* detail,
                                          std::uint32_t detailSize, std::uint32_t* requiredSize,
                                          void* deviceInfo) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    Handle CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       const SECURITY_ATTRIBUTES* security, std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes, Handle templateFile) override;
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) override;
    BOOL HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) override;
    BOOL HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) override;
    NTSTATUS HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) override;
    BOOL HidD_FreePreparsedData(PreparsedData preparsed) override;
    BOOL HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) override;
    BOOL HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) override;
    Handle CreateEventA(const SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                        const char* name) override;
    BOOL ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                  OVERLAPPED* overlapped) override;
    BOOL CloseHandle(Handle object) override;

private:
    struct InterfaceRecord {
        std::string path;
        HIDD_ATTRIBUTES attributes;
    };
    using Snapshot = std::shared_ptr<const std::vector<InterfaceRecord>>;
    struct DeviceEntry {
        // Null until needed for a handle of an interface known not to be a pulse generator.
        hid_device_* device = nullptr;
        std::string path;
        bool nonBlocking = false;
        // Learnt from the report descriptor on first need.
        std::optional<bool> numberedReports;
    };
    enum class Kind { Device, Event, InfoSet };
    struct Entry {
        Kind kind = Kind::Event;
        DeviceEntry device;  // Kind::Device
        Snapshot snapshot;   // Kind::InfoSet, in walk order
    };

    Handle Add(Entry entry);
    Entry* Find(Handle h, Kind kind);
    DeviceEntry* FindDevice(Handle h);
    // The device of a handle, opened now if it was not yet; null when it cannot be opened.
    hid_device_* Device(DeviceEntry& entry);
    // The HID interfaces present now, in enumeration order.
    Snapshot PresentInterfaces();
    // The enumeration record of path in the newest snapshot a walk holds; null when none lists it.
    const InterfaceRecord* Record(const std::string& path) const;
    std::optional<std::vector<std::uint8_t>> ReportDescriptor(DeviceEntry& device);
    bool NumberedReports(DeviceEntry& device);
    using WideStringCall = int (*)(hid_device_*, wchar_t*, std::size_t);
    BOOL ReadString(Handle device, WideStringCall call, std::uint8_t* buffer, std::uint32_t bufferLength);

    std::map<Handle, Entry> handles_;
    std::map<PreparsedData, ReportLengths> preparsed_;
    Handle nextHandle_ = 0x1000;
    PreparsedData nextPreparsed_ = 0x1000;

    HidInterfaceWatch watch_;
    // The last enumeration, kept while the watch sees nothing change; null when the next walk must enumerate.
    Snapshot present_;
    // Interfaces known not to be pulse generators, while the watch sees them unchanged: whether their first
    // open succeeded.
    std::map<std::string, bool> foreign_;
};

}  // namespace tarvo
