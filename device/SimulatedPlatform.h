// In-memory pulse generators (and other HID devices) behind ApiDeclarations, for the tests, the scenario runner
// and the demo. It behaves as the Windows calls do: a walk over a snapshot of the present interfaces, handles
// that stop working when their device is unplugged, feature reports checked against the report lengths, and
// an input report waiting only while the device streams. Faults can be injected per device and operation.
// Every call is recorded, and every use of a handle that is invalid, closed or unknown is recorded apart.
#pragma once

#include "ApiDeclarations.h"
#include "DeviceFinder.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// The operations a fault can be injected into.
enum class SimOp { Open, OpenOverlapped, Attributes, Serial, Manufacturer, Product, Caps, SetFeature, GetFeature, Read };

// Every operation a fault can be injected into, in a fixed order.
const std::vector<SimOp>& AllSimOps();
// Parses the scenario names of the operations ("open", "open-overlapped", "attributes", ...).
std::optional<SimOp> SimOpFromName(const std::string& name);
const char* SimOpName(SimOp op);

struct SimDeviceConfig {
    std::string name;           // the script's or demo's handle for the interface
    std::u16string serial;      // UTF-16 code units as the device reports them
    std::uint16_t vendorId = DEVICE_VENDOR_ID;  // a pulse generator unless told otherwise
    std::uint16_t productId = DEVICE_PRODUCT_ID;
    std::uint16_t version = 0x0100;
    std::u16string manufacturer = u"Tarvo";
    std::u16string product = u"Pulse Generator";
    std::uint16_t inputLength = 65;
    std::uint16_t featureLength = 9;
    // The settings the generator holds; its firmware (GeneratorFirmware.h) changes them and reports them.
    std::int32_t frequency = 10000000;
    std::uint16_t amplitude = 360;
    bool streaming = true;
    // False: the device acknowledges every well-formed command and keeps its settings (firmware that ignores
    // what it is told).
    bool appliesCommands = true;
};

// One platform call as the simulation saw it.
struct SimCall {
    std::string op;                  // the ApiDeclarations operation name
    Handle handle = 0;               // the handle it was made on, where it takes one
    std::string device;              // name of the device the handle belongs to; empty where none
    bool ok = false;                 // what the call returned
    std::vector<std::uint8_t> bytes; // feature reports: the buffer as handed in (set) or as returned (get)
    std::uint32_t length = 0;        // the length argument of feature and read calls
};

// A handle used where it was not open.
struct SimMisuse {
    std::string op;
    Handle handle = 0;
    std::string state;  // "invalid", "closed" or "unknown"
};

class SimulatedPlatform final : public ApiDeclarations {
public:
    SimulatedPlatform();

    // Adds a present interface at the end of the walk order. False when the name is in use.
    bool Plug(const SimDeviceConfig& config);
    // Removes it: its open handles fail from now on and later walks do not list it. False for an unknown name.
    bool Unplug(const std::string& name);
    bool IsPlugged(const std::string& name) const;
    std::vector<std::string> PluggedNames() const;
    const SimDeviceConfig* Device(const std::string& name) const;

    void SetStreaming(const std::string& name, bool on);
    // The next `times` calls of op on that device fail; times < 0 means every call.
    void Fail(const std::string& name, SimOp op, int times = -1);
    void Heal(const std::string& name, SimOp op);
    bool Failing(const std::string& name, SimOp op) const;
    // From now on the status reply carries these bytes from byte 0 instead of the device's state.
    void SetReply(const std::string& name, std::vector<std::uint8_t> bytes);
    void ClearReply(const std::string& name);

    // Open file handles of devices (events and device-information sets are not counted).
    int OpenDeviceHandles() const;
    const std::vector<SimCall>& Calls() const { return calls_; }
    const std::vector<SimMisuse>& Misuses() const { return misuses_; }
    void ClearRecords();
    // Called after every call, as it happens.
    std::function<void(const SimCall&)> onCall;
    // Whether Calls() and Misuses() keep what happened; a long-running demo or benchmark turns this off.
    bool keepRecords = true;

    // ApiDeclarations
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
    struct Interface {
        int id = 0;
        SimDeviceConfig config;
        std::string path;
        bool present = true;
        std::map<SimOp, int> faults;                  // remaining failures; < 0 for always
        std::optional<std::vector<std::uint8_t>> reply;
    };
    enum class Kind { File, Event, InfoSet };
    struct HandleEntry {
        Kind kind = Kind::File;
        int interfaceId = 0;       // File: the device it was opened on
        bool overlapped = false;
        std::vector<int> snapshot; // InfoSet: interface ids in walk order
    };

    Interface* FindByName(const std::string& name);
    const Interface* FindByName(const std::string& name) const;
    Interface* FindById(int id);
    void ForgetUnplugged();
    // The device behind an open file handle, or nullptr after recording the misuse.
    Interface* DeviceOf(const char* op, Handle h);
    bool Faulted(Interface& dev, SimOp op);
    BOOL ReadString(const char* op, SimOp fault, Handle h, std::uint8_t* buffer, std::uint32_t length,
                    const std::u16string SimDeviceConfig::*field);
    void Record(SimCall call);
    void RecordMisuse(const char* op, Handle h);
    Handle NewHandle(HandleEntry entry);

    static constexpr Handle FIRST_HANDLE = 0x100;
    static constexpr Handle HANDLE_STEP = 4;

    std::map<int, Interface> interfaces_;  // by id: plug order is walk order; unplugged ones stay while referred to
    std::map<std::string, int> byPath_;    // present interfaces by path
    std::map<Handle, HandleEntry> handles_;  // open handles only
    std::map<PreparsedData, int> preparsed_;  // live preparsed data -> interface id
    Handle nextHandle_ = FIRST_HANDLE;
    PreparsedData nextPreparsed_ = 0x7000;
    int nextInterfaceId_ = 1;
    std::vector<SimCall> calls_;
    std::vector<SimMisuse> misuses_;
};

}  // namespace tarvo
