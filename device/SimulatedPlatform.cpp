#include "SimulatedPlatform.h"

#include "protocol/GeneratorFirmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace tarvo {
namespace {

// The HID interface class GUID, {4D1E55B2-F16F-11CF-88CB-001111000030}.
constexpr GUID HID_CLASS_GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The simulated detail header: the 32-bit Windows size of SP_DEVICE_INTERFACE_DETAIL_DATA_A.
constexpr std::uint32_t DETAIL_HEADER = 5;

struct OpName {
    SimOp op;
    const char* name;
};
constexpr OpName OP_NAMES[] = {
    {SimOp::Open, "open"},         {SimOp::OpenOverlapped, "open-overlapped"},
    {SimOp::Attributes, "attributes"}, {SimOp::Serial, "serial"},
    {SimOp::Manufacturer, "manufacturer"}, {SimOp::Product, "product"},
    {SimOp::Caps, "caps"},         {SimOp::SetFeature, "set-feature"},
    {SimOp::GetFeature, "get-feature"}, {SimOp::Read, "read"},
};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

SimCall Call(std::string op, Handle handle = 0, std::string device = {}, bool ok = false, std::uint32_t length = 0) {
    SimCall call;
    call.op = std::move(op);
    call.handle = handle;
    call.device = std::move(device);
    call.ok = ok;
    call.length = length;
    return call;
}

}  // namespace

const std::vector<SimOp>& AllSimOps() {
    static const std::vector<SimOp> ops = [] {
        std::vector<SimOp> all;
        for (const auto& entry : OP_NAMES) all.push_back(entry.op);
        return all;
    }();
    return ops;
}

std::optional<SimOp> SimOpFromName(const std::string& name) {
    for (const auto& entry : OP_NAMES)
        if (name == entry.name) return entry.op;
    return std::nullopt;
}

const char* SimOpName(SimOp op) {
    for (const auto& entry : OP_NAMES)
        if (op == entry.op) return entry.name;
    return "?";
}

SimulatedPlatform::SimulatedPlatform() = default;

bool SimulatedPlatform::Plug(const SimDeviceConfig& config) {
    if (FindByName(config.name)) return false;
    Interface dev;
    dev.id = nextInterfaceId_++;
    dev.config = config;
    char path[96];
    std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x#sim&%d#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  config.vendorId, config.productId, dev.id);
    dev.path = path;
    byPath_[dev.path] = dev.id;
    interfaces_.emplace(dev.id, std::move(dev));
    return true;
}

bool SimulatedPlatform::Unplug(const std::string& name) {
    Interface* dev = FindByName(name);
    if (!dev) return false;
    dev->present = false;
    byPath_.erase(dev->path);
    ForgetUnplugged();
    return true;
}

// An unplugged interface is forgotten once nothing refers to it (no handle, device-information set or preparsed
// data), so that plugging and unplugging without end, as a simulated bench may, keeps memory bounded.
void SimulatedPlatform::ForgetUnplugged() {
    std::set<int> used;
    for (const auto& [handle, entry] : handles_) {
        if (entry.kind == Kind::File) used.insert(entry.interfaceId);
        if (entry.kind == Kind::InfoSet) used.insert(entry.snapshot.begin(), entry.snapshot.end());
    }
    for (const auto& [preparsed, id] : preparsed_) used.insert(id);
    std::erase_if(interfaces_, [&](const auto& entry) { return !entry.second.present && !used.count(entry.first); });
}

bool SimulatedPlatform::IsPlugged(const std::string& name) const { return FindByName(name) != nullptr; }

std::vector<std::string> SimulatedPlatform::PluggedNames() const {
    std::vector<std::string> names;
    for (const auto& [id, dev] : interfaces_)
        if (dev.present) names.push_back(dev.config.name);
    return names;
}

const SimDeviceConfig* SimulatedPlatform::Device(const std::string& name) const {
    const Interface* dev = FindByName(name);
    return dev ? &dev->config : nullptr;
}

void SimulatedPlatform::SetStreaming(const std::string& name, bool on) {
    if (Interface* dev = FindByName(name)) dev->config.streaming = on;
}

void SimulatedPlatform::Fail(const std::string& name, SimOp op, int times) {
    if (Interface* dev = FindByName(name)) dev->faults[op] = times < 0 ? -1 : times;
}

void SimulatedPlatform::Heal(const std::string& name, SimOp op) {
    if (Interface* dev = FindByName(name)) dev->faults.erase(op);
}

bool SimulatedPlatform::Failing(const std::string& name, SimOp op) const {
    const Interface* dev = FindByName(name);
    return dev && dev->faults.count(op) != 0;
}

void SimulatedPlatform::SetReply(const std::string& name, std::vector<std::uint8_t> bytes) {
    if (Interface* dev = FindByName(name)) dev->reply = std::move(bytes);
}

void SimulatedPlatform::ClearReply(const std::string& name) {
    if (Interface* dev = FindByName(name)) dev->reply.reset();
}

int SimulatedPlatform::OpenDeviceHandles() const {
    return static_cast<int>(std::count_if(handles_.begin(), handles_.end(),
                                          [](const auto& entry) { return entry.second.kind == Kind::File; }));
}

void SimulatedPlatform::ClearRecords() {
    calls_.clear();
    misuses_.clear();
}

SimulatedPlatform::Interface* SimulatedPlatform::FindByName(const std::string& name) {
    for (auto& [id, dev] : interfaces_)
        if (dev.present && dev.config.name == name) return &dev;
    return nullptr;
}

const SimulatedPlatform::Interface* SimulatedPlatform::FindByName(const std::string& name) const {
    for (const auto& [id, dev] : interfaces_)
        if (dev.present && dev.config.name == name) return &dev;
    return nullptr;
}

SimulatedPlatform::Interface* SimulatedPlatform::FindById(int id) {
    auto it = interfaces_.find(id);
    return it == interfaces_.end() ? nullptr : &it->second;
}

void SimulatedPlatform::Record(SimCall call) {
    if (onCall) onCall(call);
    if (keepRecords) calls_.push_back(std::move(call));
}

void SimulatedPlatform::RecordMisuse(const char* op, Handle h) {
    const char* state = "unknown";
    if (h == INVALID_HANDLE_VALUE || h == 0) {
        state = "invalid";
    } else if (h >= FIRST_HANDLE && h < nextHandle_ && (h - FIRST_HANDLE) % HANDLE_STEP == 0 && !handles_.count(h)) {
        state = "closed";  // handed out once and since closed: handles are never reused
    }
    if (keepRecords) misuses_.push_back({op, h, state});
}

Handle SimulatedPlatform::NewHandle(HandleEntry entry) {
    Handle h = nextHandle_;
    nextHandle_ += HANDLE_STEP;  // handles are never reused, so a use after close is always seen
    handles_[h] = std::move(entry);
    return h;
}

SimulatedPlatform::Interface* SimulatedPlatform::DeviceOf(const char* op, Handle h) {
    auto it = handles_.find(h);
    if (it == handles_.end() || it->second.kind != Kind::File) {
        RecordMisuse(op, h);
        return nullptr;
    }
    return FindById(it->second.interfaceId);
}

bool SimulatedPlatform::Faulted(Interface& dev, SimOp op) {
    auto it = dev.faults.find(op);
    if (it == dev.faults.end()) return false;
    if (it->second > 0 && --it->second == 0) dev.faults.erase(it);
    return true;
}

void SimulatedPlatform::HidD_GetHidGuid(GUID& guid) {
    guid = HID_CLASS_GUID;
    Record(Call("HidD_GetHidGuid"));
}

HDEVINFO SimulatedPlatform::SetupDiGetClassDevsA(const GUID& guid, const char*, Handle, std::uint32_t flags) {
    if (!SameGuid(guid, HID_CLASS_GUID) || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        Record(Call("SetupDiGetClassDevsA"));
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry set;
    set.kind = Kind::InfoSet;
    for (const auto& [id, dev] : interfaces_)
        if (dev.present) set.snapshot.push_back(id);
    Handle h = NewHandle(std::move(set));
    Record(Call("SetupDiGetClassDevsA", h, "", true));
    return h;
}

BOOL SimulatedPlatform::SetupDiEnumDeviceInterfaces(HDEVINFO set, const void*, const GUID& guid,
                                                    std::uint32_t memberIndex, SP_DEVICE_INTERFACE_DATA& data) {
    auto it = handles_.find(set);
    if (it == handles_.end() || it->second.kind != Kind::InfoSet) {
        RecordMisuse("SetupDiEnumDeviceInterfaces", set);
        return 0;
    }
    const auto& snapshot = it->second.snapshot;
    if (!SameGuid(guid, HID_CLASS_GUID) || memberIndex >= snapshot.size()) {
        Record(Call("SetupDiEnumDeviceInterfaces", set, "", false));
        return 0;
    }
    data = SP_DEVICE_INTERFACE_DATA{};
    data.InterfaceClassGuid = guid;
    data.Flags = 1;  // SPINT_ACTIVE
    data.Reserved = static_cast<std::uintptr_t>(snapshot[memberIndex]);
    Record(Call("SetupDiEnumDeviceInterfaces", set, FindById(snapshot[memberIndex])->config.name, true));
    return 1;
}

BOOL SimulatedPlatform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data,
                                                         std::uint8_t* detail, std::uint32_t detailSize,
                                                         std::uint32_t* requiredSize, void*) {
    auto it = handles_.find(set);
    if (it == handles_.end() || it->second.kind != Kind::InfoSet) {
        RecordMisuse("SetupDiGetDeviceInterfaceDetailA", set);
        return 0;
    }
    const auto& snapshot = it->second.snapshot;
    const Interface* dev = nullptr;
    if (std::find(snapshot.begin(), snapshot.end(), static_cast<int>(data.Reserved)) != snapshot.end())
        dev = FindById(static_cast<int>(data.Reserved));
    if (!dev) {
        Record(Call("SetupDiGetDeviceInterfaceDetailA", set, "", false));
        return 0;
    }
    const auto needed = static_cast<std::uint32_t>(DETAIL_PATH_OFFSET + dev->path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    // As on Windows, the size query fails with "insufficient buffer", and so does a buffer that is too small.
    BOOL ok = 0;
    if (detail && detailSize >= needed) {
        std::memcpy(detail, &DETAIL_HEADER, sizeof DETAIL_HEADER);
        std::memcpy(detail + DETAIL_PATH_OFFSET, dev->path.c_str(), dev->path.size() + 1);
        ok = 1;
    }
    Record(Call("SetupDiGetDeviceInterfaceDetailA", set, dev->config.name, ok != 0));
    return ok;
}

BOOL SimulatedPlatform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    auto it = handles_.find(set);
    if (it == handles_.end() || it->second.kind != Kind::InfoSet) {
        RecordMisuse("SetupDiDestroyDeviceInfoList", set);
        return 0;
    }
    handles_.erase(it);
    Record(Call("SetupDiDestroyDeviceInfoList", set, "", true));
    ForgetUnplugged();
    return 1;
}

Handle SimulatedPlatform::CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                      const SECURITY_ATTRIBUTES*, std::uint32_t creationDisposition,
                                      std::uint32_t flagsAndAttributes, Handle) {
    const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const char* op = overlapped ? "CreateFileA(overlapped)" : "CreateFileA";
    Interface* dev = nullptr;
    if (auto it = path ? byPath_.find(path) : byPath_.end(); it != byPath_.end()) dev = FindById(it->second);
    const bool argumentsRight = desiredAccess == (GENERIC_READ | GENERIC_WRITE) &&
                                shareMode == (FILE_SHARE_READ | FILE_SHARE_WRITE) && creationDisposition == OPEN_EXISTING;
    if (!dev || !argumentsRight || Faulted(*dev, overlapped ? SimOp::OpenOverlapped : SimOp::Open)) {
        Record(Call(op, INVALID_HANDLE_VALUE, dev ? dev->config.name : "", false));
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry entry;
    entry.kind = Kind::File;
    entry.interfaceId = dev->id;
    entry.overlapped = overlapped;
    Handle h = NewHandle(entry);
    Record(Call(op, h, dev->config.name, true));
    return h;
}

BOOL SimulatedPlatform::HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) {
    Interface* dev = DeviceOf("HidD_GetAttributes", device);
    const bool ok = dev && dev->present && !Faulted(*dev, SimOp::Attributes);
    if (ok) attributes = {dev->config.vendorId, dev->config.productId, dev->config.version};
    Record(Call("HidD_GetAttributes", device, dev ? dev->config.name : "", ok));
    return ok;
}

BOOL SimulatedPlatform::ReadString(const char* op, SimOp fault, Handle h, std::uint8_t* buffer, std::uint32_t length,
                                   const std::u16string SimDeviceConfig::*field) {
    Interface* dev = DeviceOf(op, h);
    const bool ok = dev && dev->present && !Faulted(*dev, fault) && buffer;
    if (ok) {
        const std::u16string& text = dev->config.*field;
        std::uint32_t at = 0;
        for (char16_t unit : text) {
            if (at + 2 > length) break;
            buffer[at++] = static_cast<std::uint8_t>(unit & 0xFF);
            buffer[at++] = static_cast<std::uint8_t>(unit >> 8);
        }
        if (at + 2 <= length) buffer[at] = buffer[at + 1] = 0;  // the terminator only where it fits
    }
    Record(Call(op, h, dev ? dev->config.name : "", ok, length));
    return ok;
}

BOOL SimulatedPlatform::HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString("HidD_GetSerialNumberString", SimOp::Serial, device, buffer, bufferLength, &SimDeviceConfig::serial);
}

BOOL SimulatedPlatform::HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString("HidD_GetManufacturerString", SimOp::Manufacturer, device, buffer, bufferLength,
                      &SimDeviceConfig::manufacturer);
}

BOOL SimulatedPlatform::HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return ReadString("HidD_GetProductString", SimOp::Product, device, buffer, bufferLength, &SimDeviceConfig::product);
}

BOOL SimulatedPlatform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) {
    Interface* dev = DeviceOf("HidD_GetPreparsedData", device);
    const bool ok = dev && dev->present && !Faulted(*dev, SimOp::Caps);
    if (ok) {
        preparsed = nextPreparsed_;
        nextPreparsed_ += 8;
        preparsed_[preparsed] = dev->id;
    }
    Record(Call("HidD_GetPreparsedData", device, dev ? dev->config.name : "", ok));
    return ok;
}

NTSTATUS SimulatedPlatform::HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) {
    constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<NTSTATUS>(0xC0110001u);
    auto it = preparsed_.find(preparsed);
    if (it == preparsed_.end()) {
        RecordMisuse("HidP_GetCaps", preparsed);
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    const Interface* dev = FindById(it->second);
    caps = HIDP_CAPS{};
    caps.UsagePage = 0xFF00;
    caps.Usage = 0x0001;
    caps.InputReportByteLength = dev->config.inputLength;
    caps.FeatureReportByteLength = dev->config.featureLength;
    Record(Call("HidP_GetCaps", 0, dev->config.name, true));
    return HIDP_STATUS_SUCCESS;
}

BOOL SimulatedPlatform::HidD_FreePreparsedData(PreparsedData preparsed) {
    auto it = preparsed_.find(preparsed);
    if (it == preparsed_.end()) {
        RecordMisuse("HidD_FreePreparsedData", preparsed);
        return 0;
    }
    preparsed_.erase(it);
    Record(Call("HidD_FreePreparsedData", 0, "", true));
    ForgetUnplugged();
    return 1;
}

BOOL SimulatedPlatform::HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) {
    Interface* dev = DeviceOf("HidD_SetFeature", device);
    SimCall call = Call("HidD_SetFeature", device, dev ? dev->config.name : "", false, length);
    if (buffer) call.bytes.assign(buffer, buffer + length);
    if (dev && dev->present && !Faulted(*dev, SimOp::SetFeature)) {
        const std::uint16_t len = dev->config.featureLength;
        // The system takes a report of at least the feature length, with the report ID of a device without
        // numbered reports, and hands the device its feature length of it.
        call.ok = buffer && len > 0 && length >= len && buffer[0] == 0;
        if (call.ok && dev->config.appliesCommands) {
            GeneratorSettings settings{dev->config.frequency, dev->config.amplitude};
            ApplyCommand(ReadSetFeature(buffer, len, len), settings);
            dev->config.frequency = settings.frequencyHz;
            dev->config.amplitude = settings.amplitudeIndex;
        }
    }
    const bool ok = call.ok;
    Record(std::move(call));
    return ok;
}

BOOL SimulatedPlatform::HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) {
    Interface* dev = DeviceOf("HidD_GetFeature", device);
    SimCall call = Call("HidD_GetFeature", device, dev ? dev->config.name : "", false, length);
    if (dev && dev->present && !Faulted(*dev, SimOp::GetFeature)) {
        const std::uint16_t len = dev->config.featureLength;
        call.ok = buffer && len > 0 && length >= len && buffer[0] == 0;
        if (call.ok) {
            std::vector<std::uint8_t> report(len, 0);
            if (dev->reply)
                std::copy_n(dev->reply->begin(), std::min(report.size(), dev->reply->size()), report.begin());
            else
                report = FirmwareStatusReport({dev->config.frequency, dev->config.amplitude}, len);
            std::copy(report.begin(), report.end(), buffer);
            call.bytes = std::move(report);
        }
    }
    const bool ok = call.ok;
    Record(std::move(call));
    return ok;
}

Handle SimulatedPlatform::CreateEventA(const SECURITY_ATTRIBUTES*, BOOL, BOOL, const char*) {
    HandleEntry entry;
    entry.kind = Kind::Event;
    Handle h = NewHandle(entry);
    Record(Call("CreateEventA", h, "", true));
    return h;
}

BOOL SimulatedPlatform::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead,
                                 OVERLAPPED*) {
    Interface* dev = DeviceOf("ReadFile", file);
    bool ok = false;
    if (dev && dev->present && !Faulted(*dev, SimOp::Read) && dev->config.streaming && buffer) {
        const std::uint16_t len = dev->config.inputLength;
        ok = len > 0 && bytesToRead >= len;
        if (ok) {
            std::fill_n(buffer, len, 0);
            if (bytesRead) *bytesRead = len;
        }
    }
    Record(Call("ReadFile", file, dev ? dev->config.name : "", ok, bytesToRead));
    return ok;
}

BOOL SimulatedPlatform::CloseHandle(Handle object) {
    auto it = handles_.find(object);
    if (it == handles_.end() || it->second.kind == Kind::InfoSet) {
        RecordMisuse("CloseHandle", object);
        Record(Call("CloseHandle", object, "", false));
        return 0;
    }
    const Interface* dev = it->second.kind == Kind::File ? FindById(it->second.interfaceId) : nullptr;
    handles_.erase(it);
    Record(Call("CloseHandle", object, dev ? dev->config.name : "", true));
    if (dev && !dev->present) ForgetUnplugged();
    return 1;
}

}  // namespace tarvo
