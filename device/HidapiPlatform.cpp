#include "HidapiPlatform.h"

#include "DeviceFinder.h"
#include "PlatformFactory.h"
#include "Utf16Buffer.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

namespace tarvo {
namespace {

// GUID_DEVINTERFACE_HID, the class the callers walk: {4D1E55B2-F16F-11CF-88CB-001111000030}.
constexpr GUID HID_CLASS_GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<NTSTATUS>(0xC0110001u);
constexpr std::uint32_t SPINT_ACTIVE = 0x1;

// The detail record's size field as 32-bit Windows gives it: the field and an empty path.
constexpr std::uint32_t DETAIL_HEADER = DETAIL_PATH_OFFSET + 1;

// hidapi strings are at most a USB string descriptor long (126 units); more room costs nothing.
constexpr std::size_t WIDE_STRING_CHARS = 256;

// The kernel's own limit on a report descriptor (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t MAX_DESCRIPTOR_BYTES = 4096;

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

// The sysfs copy of the descriptor of a hidraw node "/dev/hidrawN"; empty for any other path (macOS paths, or
// anything that is not plainly such a node).
std::string SysfsDescriptorPath(std::string_view devicePath) {
    constexpr std::string_view prefix = "/dev/hidraw";
    if (devicePath.substr(0, prefix.size()) != prefix) return {};
    const std::string_view number = devicePath.substr(prefix.size());
    if (number.empty() || number.size() > 6 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    return "/sys/class/hidraw/hidraw" + std::string(number) + "/device/report_descriptor";
}

// Interfaces of other devices, which no walk lists, need not be opened again while they stay plugged in.
bool OtherDevice(const HIDD_ATTRIBUTES& a) {
    return a.VendorID != DEVICE_VENDOR_ID || a.ProductID != DEVICE_PRODUCT_ID;
}

hid_device* OpenPath(const char* path, bool nonBlocking) {
    hid_device* device = hid_open_path(path);
    // An overlapped handle's reads must return at once.
    if (device && nonBlocking && hid_set_nonblocking(device, 1) != 0) {
        hid_close(device);
        return nullptr;
    }
    return device;
}

std::optional<std::vector<std::uint8_t>> ReadSysfsDescriptor(const std::string& devicePath) {
    const std::string file = SysfsDescriptorPath(devicePath);
    if (file.empty()) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes(MAX_DESCRIPTOR_BYTES);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace

HidapiPlatform::HidapiPlatform() { hid_init(); }

HidapiPlatform::~HidapiPlatform() {
    for (auto& [handle, entry] : handles_)
        if (entry.kind == Kind::Device && entry.device.device) hid_close(entry.device.device);
    handles_.clear();
    hid_exit();
}

Handle HidapiPlatform::Add(Entry entry) {
    const Handle h = nextHandle_++;
    handles_.emplace(h, std::move(entry));
    return h;
}

HidapiPlatform::Entry* HidapiPlatform::Find(Handle h, Kind kind) {
    auto it = handles_.find(h);
    return it != handles_.end() && it->second.kind == kind ? &it->second : nullptr;
}

HidapiPlatform::DeviceEntry* HidapiPlatform::FindDevice(Handle h) {
    Entry* entry = Find(h, Kind::Device);
    return entry ? &entry->device : nullptr;
}

hid_device* HidapiPlatform::Device(DeviceEntry& entry) {
    if (!entry.device) entry.device = OpenPath(entry.path.c_str(), entry.nonBlocking);
    return entry.device;
}

HidapiPlatform::Snapshot HidapiPlatform::PresentInterfaces() {
    const HidInterfaceWatch::Changes changes = watch_.Take();
    if (changes.unknown) {
        present_.reset();
        foreign_.clear();
    }
    for (const std::string& path : changes.paths) {
        present_.reset();
        foreign_.erase(path);
    }
    if (present_) return present_;

    auto records = std::make_shared<std::vector<InterfaceRecord>>();
    hid_device_info* all = hid_enumerate(0, 0);
    for (const hid_device_info* d = all; d; d = d->next) {
        if (!d->path) continue;
        const bool listed = std::any_of(records->begin(), records->end(),
                                        [d](const InterfaceRecord& r) { return r.path == d->path; });
        if (listed) continue;
        records->push_back({d->path, HIDD_ATTRIBUTES{d->vendor_id, d->product_id, d->release_number}});
    }
    hid_free_enumeration(all);
    std::erase_if(foreign_, [&](const auto& known) {
        return std::none_of(records->begin(), records->end(),
                            [&](const InterfaceRecord& r) { return r.path == known.first; });
    });
    // Kept only while the watch works, and only when it lists no interface that is half unplugged.
    if (watch_.Active() &&
        std::all_of(records->begin(), records->end(),
                    [](const InterfaceRecord& r) { return HidInterfaceWatch::NodePresent(r.path); }))
        present_ = records;
    return records;
}

const HidapiPlatform::InterfaceRecord* HidapiPlatform::Record(const std::string& path) const {
    for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) {
        if (it->second.kind != Kind::InfoSet) continue;
        for (const InterfaceRecord& record : *it->second.snapshot)
            if (record.path == path) return &record;
    }
    return nullptr;
}

void HidapiPlatform::HidD_GetHidGuid(GUID& guid) { guid = HID_CLASS_GUID; }

HDEVINFO HidapiPlatform::SetupDiGetClassDevsA(const GUID& guid, const char*, Handle, std::uint32_t) {
    Entry set;
    set.kind = Kind::InfoSet;
    // Only the HID class exists here; a set of any other class is empty.
    set.snapshot = SameGuid(guid, HID_CLASS_GUID) ? PresentInterfaces()
                                                  : std::make_shared<const std::vector<InterfaceRecord>>();
    return Add(std::move(set));
}

BOOL HidapiPlatform::SetupDiEnumDeviceInterfaces(HDEVINFO set, const void*, const GUID& guid,
                                                 std::uint32_t memberIndex, SP_DEVICE_INTERFACE_DATA& data) {
    const Entry* entry = Find(set, Kind::InfoSet);
    if (!entry || memberIndex >= entry->snapshot->size()) return 0;
    data.InterfaceClassGuid = guid;
    data.Flags = SPINT_ACTIVE;
    data.Reserved = std::uintptr_t{memberIndex} + 1;  // 0 stays "no interface"
    return 1;
}

BOOL HidapiPlatform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data,
                                                      std::uint8_t* detail, std::uint32_t detailSize,
                                                      std::uint32_t* requiredSize, void*) {
    const Entry* entry = Find(set, Kind::InfoSet);
    if (!entry || data.Reserved == 0 || data.Reserved > entry->snapshot->size()) return 0;
    const std::string& path = (*entry->snapshot)[data.Reserved - 1].path;
    const auto needed = static_cast<std::uint32_t>(DETAIL_PATH_OFFSET + path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    // As on Windows, the size query and a buffer that is too small fail, and nothing is written.
    if (!detail || detailSize < needed) return 0;
    std::memcpy(detail, &DETAIL_HEADER, sizeof DETAIL_HEADER);
    std::memcpy(detail + DETAIL_PATH_OFFSET, path.c_str(), path.size() + 1);
    return 1;
}

BOOL HidapiPlatform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!Find(set, Kind::InfoSet)) return 0;
    handles_.erase(set);
    return 1;
}

Handle HidapiPlatform::CreateFileA(const char* path, std::uint32_t, std::uint32_t, const SECURITY_ATTRIBUTES*,
                                   std::uint32_t, std::uint32_t flagsAndAttributes, Handle) {
    if (!path || !*path) return INVALID_HANDLE_VALUE;
    Entry entry;
    entry.kind = Kind::Device;
    entry.device.path = path;
    entry.device.nonBlocking = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const auto known = foreign_.find(entry.device.path);
    if (known != foreign_.end()) {
        // Another device's interface, unchanged since its first open: the same result, without opening it.
        if (!known->second) return INVALID_HANDLE_VALUE;
        return Add(std::move(entry));
    }
    entry.device.device = OpenPath(path, entry.device.nonBlocking);
    // Remembered only for an interface of the enumeration the watch vouches for.
    const InterfaceRecord* record = present_ ? Record(entry.device.path) : nullptr;
    if (record && OtherDevice(record->attributes)) foreign_[entry.device.path] = entry.device.device != nullptr;
    if (!entry.device.device) return INVALID_HANDLE_VALUE;
    return Add(std::move(entry));
}

BOOL HidapiPlatform::HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) {
    DeviceEntry* dev = FindDevice(device);
    if (!dev) return 0;
    // The newest snapshot that lists the path holds its enumeration record; the walk always has one open.
    if (const InterfaceRecord* record = Record(dev->path)) {
        attributes = record->attributes;
        return 1;
    }
    // Outside a walk: the record hidapi keeps for the open device.
    hid_device* opened = Device(*dev);
    const hid_device_info* info = opened ? hid_get_device_info(opened) : nullptr;
    if (!info) return 0;
    attributes = HIDD_ATTRIBUTES{info->vendor_id, info->product_id, info->release_number};
    return 1;
}

BOOL HidapiPlatform::ReadString(Handle device, WideStringCall call, std::uint8_t* buffer, std::uint32_t bufferLength) {
    DeviceEntry* dev = FindDevice(device);
    if (!dev || !buffer || bufferLength == 0 || !Device(*dev)) return 0;
    wchar_t wide[WIDE_STRING_CHARS] = {};
    if (call(dev->device, wide, WIDE_STRING_CHARS) != 0) return 0;
    WriteUtf16Buffer(WideToUtf32(wide, WIDE_STRING_CHARS), buffer, bufferLength);
    return 1;
}

BOOL HidapiPlatform::HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString(device, &hid_get_serial_number_string, buffer, bufferLength);
}

BOOL HidapiPlatform::HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString(device, &hid_get_manufacturer_string, buffer, bufferLength);
}

BOOL HidapiPlatform::HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString(device, &hid_get_product_string, buffer, bufferLength);
}

std::optional<std::vector<std::uint8_t>> HidapiPlatform::ReportDescriptor(DeviceEntry& device) {
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    std::vector<std::uint8_t> bytes(HID_API_MAX_REPORT_DESCRIPTOR_SIZE);
    hid_device* opened = Device(device);
    const int read = opened ? hid_get_report_descriptor(opened, bytes.data(), bytes.size()) : -1;
    if (read >= 0) {
        bytes.resize(static_cast<std::size_t>(read));
        return bytes;
    }
#endif
    // hidapi before 0.14 cannot give the descriptor; on Linux sysfs keeps it beside the node.
    return ReadSysfsDescriptor(device.path);
}

bool HidapiPlatform::NumberedReports(DeviceEntry& device) {
    if (!device.numberedReports) {
        const auto descriptor = ReportDescriptor(device);
        // Without a descriptor the report is passed on as the system gives it.
        device.numberedReports =
            descriptor ? ParseReportLengths(descriptor->data(), descriptor->size()).usesReportIds : true;
    }
    return *device.numberedReports;
}

BOOL HidapiPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) {
    DeviceEntry* dev = FindDevice(device);
    if (!dev) return 0;
    const auto descriptor = ReportDescriptor(*dev);
    if (!descriptor) return 0;
    const ReportLengths lengths = ParseReportLengths(descriptor->data(), descriptor->size());
    // Windows builds no preparsed data from a descriptor it cannot parse.
    if (!lengths.wellFormed) return 0;
    dev->numberedReports = lengths.usesReportIds;
    preparsed = nextPreparsed_++;
    preparsed_.emplace(preparsed, lengths);
    return 1;
}

NTSTATUS HidapiPlatform::HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) {
    auto it = preparsed_.find(preparsed);
    if (it == preparsed_.end()) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    caps = HIDP_CAPS{};
    caps.Usage = it->second.usage;
    caps.UsagePage = it->second.usagePage;
    caps.InputReportByteLength = it->second.input;
    caps.OutputReportByteLength = it->second.output;
    caps.FeatureReportByteLength = it->second.feature;
    return HIDP_STATUS_SUCCESS;
}

BOOL HidapiPlatform::HidD_FreePreparsedData(PreparsedData preparsed) {
    return preparsed_.erase(preparsed) == 1 ? 1 : 0;
}

BOOL HidapiPlatform::HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) {
    DeviceEntry* dev = FindDevice(device);
    if (!dev || !buffer || length == 0 || !Device(*dev)) return 0;
    const int sent = hid_send_feature_report(dev->device, buffer, length);
    return sent >= 0 && static_cast<std::uint32_t>(sent) == length ? 1 : 0;
}

BOOL HidapiPlatform::HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) {
    DeviceEntry* dev = FindDevice(device);
    if (!dev || !buffer || length == 0 || !Device(*dev)) return 0;
    const int got = hid_get_feature_report(dev->device, buffer, length);
    if (got <= 0) return 0;
    // Windows always fills the whole buffer; a shorter reply leaves zeros after it.
    if (static_cast<std::uint32_t>(got) < length) std::memset(buffer + got, 0, length - static_cast<std::uint32_t>(got));
    return 1;
}

Handle HidapiPlatform::CreateEventA(const SECURITY_ATTRIBUTES*, BOOL, BOOL, const char*) {
    Entry event;
    event.kind = Kind::Event;
    return Add(std::move(event));
}

BOOL HidapiPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                              OVERLAPPED*) {
    if (bytesRead) *bytesRead = 0;
    DeviceEntry* dev = FindDevice(file);
    if (!dev || !buffer || bytesToRead == 0 || !Device(*dev)) return 0;
    // hidraw gives an unnumbered report without the ID byte that Windows puts in front of it.
    const std::uint32_t idBytes = NumberedReports(*dev) ? 0 : 1;
    if (bytesToRead <= idBytes) return 0;
    const int got = hid_read(dev->device, buffer + idBytes, bytesToRead - idBytes);
    if (got <= 0) return 0;  // 0: nothing was waiting on the non-blocking handle
    if (idBytes) buffer[0] = 0;
    if (bytesRead) *bytesRead = static_cast<std::uint32_t>(got) + idBytes;
    return 1;
}

BOOL HidapiPlatform::CloseHandle(Handle object) {
    auto it = handles_.find(object);
    // A device-information set is released with SetupDiDestroyDeviceInfoList, as on Windows.
    if (it == handles_.end() || it->second.kind == Kind::InfoSet) return 0;
    if (it->second.kind == Kind::Device && it->second.device.device) hid_close(it->second.device.device);
    handles_.erase(it);
    return 1;
}

std::unique_ptr<ApiDeclarations> MakeSystemPlatform() { return std::make_unique<HidapiPlatform>(); }

}  // namespace tarvo
