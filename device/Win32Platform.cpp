#include "Win32Platform.h"

#include "DeviceFinder.h"
#include "PlatformFactory.h"

#include "Win32Records.h"  // last: windows.h macros

#include <cfgmgr32.h>

#include <algorithm>
#include <atomic>
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

const Handle INVALID = FromNative(INVALID_HANDLE_VALUE);

// Stand-in handles: never a kernel handle, which is a multiple of 4 below 2^26, nor a pseudo-handle (-1 to -6).
constexpr std::uintptr_t STAND_IN_FIRST = 0x40000001u;
constexpr std::uintptr_t STAND_IN_COUNT = 0x10000000u;

::GUID HidClass() {
    ::GUID guid{};
    ::HidD_GetHidGuid(&guid);
    return guid;
}

// Interfaces of other devices, which no walk lists, need not be opened again while nothing changes.
bool OtherDevice(const HIDD_ATTRIBUTES& a) {
    return a.VendorID != DEVICE_VENDOR_ID || a.ProductID != DEVICE_PRODUCT_ID;
}

// A function of a system library that older versions lack.
template <typename Function>
Function Lookup(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

}  // namespace

// The registration for HID interface arrivals and removals, and the count of those announced, which the system
// raises from a thread of its own.
struct Win32Platform::Notification {
    using Register = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
    using Unregister = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

    std::atomic<std::uint32_t> changes{0};
    HMODULE library = nullptr;
    HCMNOTIFICATION registration = nullptr;
    Unregister unregister = nullptr;

    Notification() {
        library = ::LoadLibraryA("cfgmgr32.dll");
        if (library == nullptr) return;
        const auto registerNotification = Lookup<Register>(library, "CM_Register_Notification");
        unregister = Lookup<Unregister>(library, "CM_Unregister_Notification");
        if (registerNotification == nullptr || unregister == nullptr) return;
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = HidClass();
        if (registerNotification(&filter, this, &Notification::Announced, &registration) != CR_SUCCESS)
            registration = nullptr;
    }
    ~Notification() {
        if (registration != nullptr) unregister(registration);  // returns once no callback runs any more
        if (library != nullptr) ::FreeLibrary(library);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    static DWORD CALLBACK Announced(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA,
                                    DWORD) {
        if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL || action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL)
            static_cast<Notification*>(context)->changes.fetch_add(1, std::memory_order_release);
        return ERROR_SUCCESS;
    }
};

Win32Platform::Win32Platform() : notification_(std::make_unique<Notification>()) {}

Win32Platform::Win32Platform(ChangesToldByCaller) : toldByCaller_(true) {}

Win32Platform::~Win32Platform() {
    notification_.reset();
    for (auto& [handle, standIn] : standIns_)
        if (standIn.opened != INVALID) ::CloseHandle(ToNative(standIn.opened));
    ReleaseSet();
}

bool Win32Platform::Remembering() const {
    return toldByCaller_ || (notification_ != nullptr && notification_->registration != nullptr);
}

std::uint32_t Win32Platform::Changes() const {
    return toldByCaller_ ? told_ : notification_->changes.load(std::memory_order_acquire);
}

void Win32Platform::InterfacesChanged() { ++told_; }

void Win32Platform::ReleaseSet() {
    if (set_ == INVALID) return;
    auto it = interfaces_.lower_bound({set_, 0});
    while (it != interfaces_.end() && it->first == set_) it = interfaces_.erase(it);
    ::SetupDiDestroyDeviceInfoList(ToNative(set_));
    set_ = INVALID;
    setInUse_ = false;
}

Handle Win32Platform::AddStandIn(StandIn standIn) {
    Handle h;
    do {
        h = STAND_IN_FIRST + 4 * (nextStandIn_++ % STAND_IN_COUNT);
    } while (standIns_.count(h) != 0);
    standIns_.emplace(h, std::move(standIn));
    return h;
}

Handle Win32Platform::Native(Handle h) {
    const auto it = standIns_.find(h);
    if (it == standIns_.end()) return h;
    StandIn& s = it->second;
    if (s.opened == INVALID) {
        ::SECURITY_ATTRIBUTES security{};
        if (s.hasSecurity) security = ToNative(s.security);
        s.opened = FromNative(::CreateFileA(s.path.c_str(), s.access, s.share, s.hasSecurity ? &security : nullptr,
                                            s.disposition, s.flags, nullptr));
    }
    return s.opened;
}

void Win32Platform::LearnFailedOpen(const std::string& path, std::uint32_t error) {
    // An open without access reads the attributes even of an interface the system keeps for itself (keyboards,
    // mice) or another program holds.
    const HANDLE query =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (query != INVALID_HANDLE_VALUE) {
        ::HIDD_ATTRIBUTES native = win32::EmptyAttributes();
        if (::HidD_GetAttributes(query, &native)) {
            KnownInterface known;
            known.attributes = HIDD_ATTRIBUTES{native.VendorID, native.ProductID, native.VersionNumber};
            known.pulseGenerator = !OtherDevice(known.attributes);
            known.error = error;
            known_[path] = known;
        }
        ::CloseHandle(query);
    }
    ::SetLastError(error);
}

void Win32Platform::HidD_GetHidGuid(GUID& guid) {
    ::GUID native{};
    ::HidD_GetHidGuid(&native);
    guid = FromNative(native);
}

HDEVINFO Win32Platform::SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parentWindow,
                                             std::uint32_t flags) {
    const ::GUID native = ToNative(guid);
    const bool walk = Remembering() && enumerator == nullptr && parentWindow == 0 &&
                      flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) && ::IsEqualGUID(native, HidClass());
    if (!walk)
        return FromNative(::SetupDiGetClassDevsA(&native, enumerator, reinterpret_cast<HWND>(parentWindow), flags));
    // Read before the set is made: an interface announced while it is made counts for the next walk.
    const std::uint32_t changes = Changes();
    if (changes != knownChanges_) {
        known_.clear();
        knownChanges_ = changes;
    }
    if (set_ != INVALID && !setInUse_ && setChanges_ == changes) {
        setInUse_ = true;
        return set_;
    }
    if (!setInUse_) ReleaseSet();
    const HDEVINFO set = FromNative(::SetupDiGetClassDevsA(&native, nullptr, nullptr, flags));
    if (set != INVALID && set_ == INVALID) {
        set_ = set;
        setChanges_ = changes;
        setInUse_ = true;
    }
    return set;
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
    if (set != INVALID && set == set_) {
        if (!setInUse_) {
            ::SetLastError(ERROR_INVALID_HANDLE);  // destroyed already, as far as the caller knows
            return 0;
        }
        setInUse_ = false;
        // Kept for the next walk, unless a change was announced since it was made.
        if (setChanges_ != Changes()) ReleaseSet();
        return 1;
    }
    auto it = interfaces_.lower_bound({set, 0});
    while (it != interfaces_.end() && it->first == set) it = interfaces_.erase(it);
    return ::SetupDiDestroyDeviceInfoList(ToNative(set)) ? 1 : 0;
}

Handle Win32Platform::CreateFileA(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                  const SECURITY_ATTRIBUTES* security, std::uint32_t creationDisposition,
                                  std::uint32_t flagsAndAttributes, Handle templateFile) {
    const bool remember = path != nullptr && Remembering() && Changes() == knownChanges_;
    const auto known = remember ? known_.find(path) : known_.end();
    if (known != known_.end() && !known->second.pulseGenerator) {
        // Another device's interface, met before since the last change: what its first open gave.
        if (!known->second.opened) {
            ::SetLastError(known->second.error);
            return INVALID;
        }
        StandIn standIn;
        standIn.path = path;
        standIn.access = desiredAccess;
        standIn.share = shareMode;
        standIn.disposition = creationDisposition;
        standIn.flags = flagsAndAttributes;
        standIn.hasSecurity = security != nullptr;
        if (security != nullptr) standIn.security = *security;
        standIn.attributes = known->second.attributes;
        return AddStandIn(std::move(standIn));
    }
    ::SECURITY_ATTRIBUTES native{};
    if (security != nullptr) native = ToNative(*security);
    const Handle h = FromNative(::CreateFileA(path, desiredAccess, shareMode, security != nullptr ? &native : nullptr,
                                              creationDisposition, flagsAndAttributes, ToNative(templateFile)));
    if (remember && known == known_.end()) {
        // Learnt from its attributes, or at once for an interface that did not open.
        if (h != INVALID)
            examined_[h] = path;
        else
            LearnFailedOpen(path, ::GetLastError());
    }
    return h;
}

BOOL Win32Platform::HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) {
    if (const auto standIn = standIns_.find(device); standIn != standIns_.end()) {
        attributes = standIn->second.attributes;
        return 1;
    }
    ::HIDD_ATTRIBUTES native = win32::EmptyAttributes();
    if (!::HidD_GetAttributes(ToNative(device), &native)) return 0;
    attributes.VendorID = native.VendorID;
    attributes.ProductID = native.ProductID;
    attributes.VersionNumber = native.VersionNumber;
    if (const auto examined = examined_.find(device); examined != examined_.end()) {
        if (Remembering() && Changes() == knownChanges_) {
            KnownInterface known;
            known.attributes = attributes;
            known.pulseGenerator = !OtherDevice(attributes);
            known.opened = true;
            known_[examined->second] = known;
        }
        examined_.erase(examined);
    }
    return 1;
}

BOOL Win32Platform::HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetSerialNumberString(ToNative(Native(device)), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetManufacturerString(ToNative(Native(device)), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t bufferLength) {
    return Result(::HidD_GetProductString(ToNative(Native(device)), buffer, Length(bufferLength)));
}

BOOL Win32Platform::HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) {
    PHIDP_PREPARSED_DATA native = nullptr;
    if (!::HidD_GetPreparsedData(ToNative(Native(device)), &native)) return 0;
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
    return Result(::HidD_SetFeature(ToNative(Native(device)), const_cast<std::uint8_t*>(buffer), Length(length)));
}

BOOL Win32Platform::HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) {
    return Result(::HidD_GetFeature(ToNative(Native(device)), buffer, Length(length)));
}

Handle Win32Platform::CreateEventA(const SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                                   const char* name) {
    ::SECURITY_ATTRIBUTES native{};
    if (security != nullptr) native = ToNative(*security);
    const char* nativeName = (name != nullptr && *name != '\0') ? name : nullptr;
    return FromNative(::CreateEventA(security != nullptr ? &native : nullptr, manualReset, initialState, nativeName));
}

BOOL Win32Platform::ReadFile(Handle handle, std::uint8_t* buffer, std::uint32_t bytesToRead,
                             std::uint32_t* bytesRead, OVERLAPPED* overlapped) {
    const Handle file = Native(handle);
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

BOOL Win32Platform::CloseHandle(Handle object) {
    if (const auto standIn = standIns_.find(object); standIn != standIns_.end()) {
        if (standIn->second.opened != INVALID) ::CloseHandle(ToNative(standIn->second.opened));
        standIns_.erase(standIn);
        return 1;
    }
    examined_.erase(object);
    return ::CloseHandle(ToNative(object)) ? 1 : 0;
}

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
