// The Win32 layer on the system's own HID devices. Under Wine these are its two virtual devices, a mouse
// (845E:0001) and a keyboard (845E:0002): neither is a pulse generator, so the walks must examine, close and
// skip both. Windows itself refuses read/write opens of mice and keyboards, so there the tests that open
// devices are skipped.
#include "device/DeviceFinder.h"
#include "device/HidString.h"
#include "device/Win32Platform.h"

#include "device/Win32Records.h"  // last: windows.h macros

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace tarvo {
namespace {

const Handle INVALID = win32::FromNative(INVALID_HANDLE_VALUE);
const SECURITY_ATTRIBUTES INHERITABLE{nullptr, 1};

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#define SKIP_UNLESS_WINE() \
    if (!UnderWine()) GTEST_SKIP() << "needs Wine's virtual HID devices, which open read/write"

using FakeList = ListedSerialNumbers;

// Follows what the walks open and close through the real layer; handle values are reused once closed, so
// what is open is tracked call by call.
struct CountingPlatform final : Win32Platform {
    int opens = 0;
    int badCloses = 0;  // of a handle not open through this platform, or refused by the system
    std::set<Handle> live;
    std::set<std::uint16_t> wineProductIds;  // attributes read from Wine's devices
    Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share, const SECURITY_ATTRIBUTES* security,
                       std::uint32_t disposition, std::uint32_t flags, Handle templateFile) override {
        const Handle h = Win32Platform::CreateFileA(path, access, share, security, disposition, flags, templateFile);
        if (h != INVALID) ++opens, live.insert(h);
        return h;
    }
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) override {
        const BOOL ok = Win32Platform::HidD_GetAttributes(device, attributes);
        if (ok && attributes.VendorID == 0x845E) wineProductIds.insert(attributes.ProductID);
        return ok;
    }
    BOOL CloseHandle(Handle object) override {
        const BOOL ok = Win32Platform::CloseHandle(object);
        if (!ok || live.erase(object) == 0) ++badCloses;
        return ok;
    }
};

// Opens the first present HID interface through the layer's own walk; INVALID when there is none.
Handle OpenFirstHid(Win32Platform& api, std::uint32_t flags) {
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    SP_DEVICE_INTERFACE_DATA data;
    Handle h = INVALID;
    std::uint32_t required = 0;
    if (api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data) &&
        !api.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr)) {
        std::vector<std::uint8_t> detail(required + 1, 0);
        if (api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &required, nullptr))
            h = api.CreateFileA(reinterpret_cast<const char*>(detail.data() + DETAIL_PATH_OFFSET), 0xC0000000u, 3,
                                &INHERITABLE, 3, flags, 0);
    }
    api.SetupDiDestroyDeviceInfoList(set);
    return h;
}

TEST(Win32Walks, ScanAndOpenExamineCloseAndSkipEveryOtherDevice) {
    SKIP_UNLESS_WINE();
    CountingPlatform api;
    DeviceSession session;
    FakeList list;
    Scan_USB_devices({session, api, list});
    EXPECT_TRUE(list.entries.empty());
    EXPECT_EQ(api.wineProductIds, (std::set<std::uint16_t>{0x0001, 0x0002})) << "both opened, attributes read";
    EXPECT_TRUE(session.EnumerationDone);

    list.entries = {"ABC123"};
    list.selected = 0;
    EXPECT_FALSE(FindTheHid({session, api, list}));
    EXPECT_FALSE(session.DeviceAttached);
    EXPECT_EQ(session.ReadEvent, 0u);
    EXPECT_GE(api.opens, 4);
    EXPECT_TRUE(api.live.empty()) << "every candidate is closed";
    EXPECT_EQ(api.badCloses, 0);
    EXPECT_EQ(session.DeviceHandle, INVALID);
}

// Wine checks the SetupAPI size fields as Windows does, so a wrong size in the records built here makes the
// real calls fail (the detail header with ERROR_INVALID_USER_BUFFER).
TEST(Win32Records, SizeFieldsAreAcceptedAndAWrongOneIsRefused) {
    ::GUID guid;
    ::HidD_GetHidGuid(&guid);
    ::HDEVINFO set = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ::SP_DEVICE_INTERFACE_DATA data = win32::EmptyInterfaceData();
    ASSERT_TRUE(::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) << ::GetLastError();
    ::SP_DEVICE_INTERFACE_DATA wrong = win32::EmptyInterfaceData();
    wrong.cbSize = sizeof(void*) == 8 ? 28 : 32;  // the other architecture's size
    EXPECT_FALSE(::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &wrong));

    // The native record rebuilt from ours reaches the detail call; a detail header of the other size does not.
    ::SP_DEVICE_INTERFACE_DATA rebuilt = win32::ToNative(win32::FromNative(data));
    std::vector<std::uint8_t> detail(512, 0);
    auto* native = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data());
    win32::WriteDetailHeader(detail.data());
    EXPECT_TRUE(::SetupDiGetDeviceInterfaceDetailA(set, &rebuilt, native, 512, nullptr, nullptr)) << ::GetLastError();
    const DWORD otherSize = sizeof(void*) == 8 ? 5 : 8;
    std::memcpy(detail.data(), &otherSize, sizeof otherSize);
    EXPECT_FALSE(::SetupDiGetDeviceInterfaceDetailA(set, &rebuilt, native, 512, nullptr, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    ::SetupDiDestroyDeviceInfoList(set);
}

TEST(Win32Detail, StaysWithinItsBufferAndRefusesRecordsItDidNotGiveOut) {
    Win32Platform api;
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    SP_DEVICE_INTERFACE_DATA data;
    ASSERT_TRUE(api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data));
    std::uint32_t required = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr));
    ASSERT_GT(required, win32::DETAIL_MIN_BYTES);

    // Shorter than the size header: nothing is written, and the size needed is still reported.
    std::vector<std::uint8_t> small(8, 0xCC);
    std::uint32_t again = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, small.data(), 3, &again, nullptr));
    EXPECT_EQ(again, required);
    EXPECT_EQ(small, std::vector<std::uint8_t>(8, 0xCC));

    std::vector<std::uint8_t> detail(required + 1, 0xCC);
    ASSERT_TRUE(api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &again, nullptr));
    EXPECT_EQ(detail[required], 0xCC);
    const std::string path(reinterpret_cast<const char*>(detail.data() + DETAIL_PATH_OFFSET));
    EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;
    EXPECT_LT(path.size(), required - DETAIL_PATH_OFFSET);

    SP_DEVICE_INTERFACE_DATA forged = data;
    forged.Reserved = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, forged, detail.data(), required, &again, nullptr));
    api.SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &again, nullptr));
}

// One of Wine's virtual devices on the handle: its attributes, its product string and its capabilities.
void ExpectAWineDeviceAnswers(Win32Platform& api, Handle h, HIDP_CAPS& caps) {
    HIDD_ATTRIBUTES attributes;
    ASSERT_TRUE(api.HidD_GetAttributes(h, attributes));
    EXPECT_EQ(attributes.VendorID, 0x845E);
    std::vector<std::uint8_t> text(STRING_BUFFER_BYTES, 0);
    ASSERT_TRUE(api.HidD_GetProductString(h, text.data(), STRING_READ_LENGTH));
    EXPECT_FALSE(HidStringToText(api, text.data(), text.size()).empty());
    PreparsedData preparsed = 0;
    ASSERT_TRUE(api.HidD_GetPreparsedData(h, preparsed));
    EXPECT_EQ(api.HidP_GetCaps(preparsed, caps), HIDP_STATUS_SUCCESS);
    EXPECT_TRUE(api.HidD_FreePreparsedData(preparsed));
}

TEST(Win32Device, OpenGivesInheritableHandleAttributesStringsAndCaps) {
    SKIP_UNLESS_WINE();
    Win32Platform api;
    const Handle h = OpenFirstHid(api, 0);
    ASSERT_NE(h, INVALID);
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(win32::ToNative(h), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT) << "the security record reached CreateFileA";
    HIDP_CAPS caps{};
    ASSERT_NO_FATAL_FAILURE(ExpectAWineDeviceAnswers(api, h, caps));
    EXPECT_GT(caps.InputReportByteLength, 0);
    caps.InputReportByteLength = 77;
    EXPECT_NE(api.HidP_GetCaps(0, caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 77) << "caps untouched on failure";
    EXPECT_TRUE(api.CloseHandle(h));
}

// The poll's read when no report is waiting: the poll releases its buffer right after the call, so nothing
// may still be in flight. A read left pending keeps the event unsignalled and the status STATUS_PENDING.
TEST(Win32Device, OverlappedReadWithoutReportReturnsZeroAndLeavesNoReadPending) {
    SKIP_UNLESS_WINE();
    Win32Platform api;
    const Handle h = OpenFirstHid(api, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID);
    const Handle event = api.CreateEventA(&INHERITABLE, 1, 1, "");
    ASSERT_NE(event, 0u);
    // Manual reset and signalled: a second wait still succeeds.
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0);
    // Unnamed: another event with the empty name is a new, unsignalled one, not the first opened again.
    const Handle other = api.CreateEventA(&INHERITABLE, 1, 0, "");
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(other), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    api.CloseHandle(other);

    tarvo::OVERLAPPED overlapped;
    overlapped.hEvent = event;
    for (int i = 0; i < 300; ++i) {
        auto* buffer = new std::uint8_t[65]();
        std::uint32_t bytesRead = 99;
        EXPECT_EQ(api.ReadFile(h, buffer, 65, &bytesRead, &overlapped), 0);
        delete[] buffer;
        EXPECT_EQ(bytesRead, 0u);
        ASSERT_NE(overlapped.Internal, static_cast<std::uintptr_t>(STATUS_PENDING)) << "iteration " << i;
        ASSERT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0) << "iteration " << i;
    }
    // The input handle of an open whose second CreateFileA failed: the read fails at once.
    std::uint8_t probe[65] = {};
    EXPECT_EQ(api.ReadFile(INVALID, probe, 65, nullptr, &overlapped), 0);
    EXPECT_TRUE(api.CloseHandle(h));
    EXPECT_TRUE(api.CloseHandle(event));
}

// The layer as it runs where the system announces HID interface changes; here the test announces them.
struct RememberingPlatform : Win32Platform {
    RememberingPlatform() : Win32Platform(ChangesToldByCaller{}) {}
    using Win32Platform::InterfacesChanged;
};

// Whether a handle is the system's: a stand-in is not.
bool SystemHandle(Handle h) {
    DWORD flags = 0;
    return h != INVALID && ::GetHandleInformation(win32::ToNative(h), &flags) != 0;
}

// The calls of the walks with what they gave, handles only as the system's, a stand-in or invalid; and what is
// left open.
template <typename Base>
struct Recording final : Base {
    std::vector<std::string> trace;
    int systemOpens = 0;
    std::set<Handle> live;

    HDEVINFO SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parent,
                                  std::uint32_t flags) override {
        const HDEVINFO set = Base::SetupDiGetClassDevsA(guid, enumerator, parent, flags);
        trace.push_back(set == INVALID ? "set invalid" : "set");
        return set;
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* info, const GUID& guid, std::uint32_t index,
                                     SP_DEVICE_INTERFACE_DATA& data) override {
        const BOOL r = Base::SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
        trace.push_back("enum " + std::to_string(index) + " " + std::to_string(r));
        return r;
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data, std::uint8_t* detail,
                                          std::uint32_t size, std::uint32_t* required, void* info) override {
        const BOOL r = Base::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
        trace.push_back("detail " + std::to_string(r) + " " + std::to_string(required ? *required : 0));
        return r;
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        const BOOL r = Base::SetupDiDestroyDeviceInfoList(set);
        trace.push_back("destroy " + std::to_string(r));
        return r;
    }
    Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share, const SECURITY_ATTRIBUTES* security,
                       std::uint32_t disposition, std::uint32_t flags, Handle templateFile) override {
        const Handle h = Base::CreateFileA(path, access, share, security, disposition, flags, templateFile);
        trace.push_back(std::string("open ") + path + (h == INVALID ? " invalid" : " handle"));
        if (SystemHandle(h)) ++systemOpens;
        if (h != INVALID) live.insert(h);
        return h;
    }
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& a) override {
        const BOOL r = Base::HidD_GetAttributes(device, a);
        trace.push_back("attributes " + std::to_string(r) + " " + std::to_string(a.VendorID) + ":" +
                        std::to_string(a.ProductID) + " v" + std::to_string(a.VersionNumber));
        return r;
    }
    BOOL HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = Base::HidD_GetSerialNumberString(device, buffer, length);
        trace.push_back("serial " + std::to_string(r));
        return r;
    }
    BOOL CloseHandle(Handle object) override {
        const BOOL r = Base::CloseHandle(object);
        trace.push_back("close " + std::to_string(r));
        live.erase(object);
        return r;
    }

    // One search of the window without a device: the scan, then the open of the selected entry.
    void Search() {
        trace.clear();
        systemOpens = 0;
        DeviceSession session;
        FakeList list;
        Scan_USB_devices({session, *this, list});
        EXPECT_FALSE(FindTheHid({session, *this, list}));
    }
};

TEST(Win32Remembered, WalksGiveWhatFreshOnesGiveAndOpenOtherDevicesOnlyOnceUntilAChange) {
    SKIP_UNLESS_WINE();
    Recording<RememberingPlatform> api;
    Recording<Win32Platform> fresh;  // Wine announces no changes: every walk enumerates and opens
    fresh.Search();
    ASSERT_EQ(fresh.systemOpens, 4) << "Wine's mouse and keyboard, in both walks";

    api.Search();
    EXPECT_EQ(api.trace, fresh.trace);
    EXPECT_EQ(api.systemOpens, 2) << "the scan opens them; the open's walk knows them";
    for (int i = 0; i < 3; ++i) {
        api.Search();
        EXPECT_EQ(api.trace, fresh.trace) << "search " << i;
        EXPECT_EQ(api.systemOpens, 0) << "search " << i;
    }
    EXPECT_TRUE(api.live.empty()) << "every stand-in is closed";

    api.InterfacesChanged();
    api.Search();
    EXPECT_EQ(api.trace, fresh.trace);
    EXPECT_EQ(api.systemOpens, 2) << "after an announced change the interfaces are opened again";
    api.Search();
    EXPECT_EQ(api.systemOpens, 0);

    // The set a walk was given is destroyed once; the next walk is given it again.
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(api.SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS), set);
    SP_DEVICE_INTERFACE_DATA data;
    EXPECT_TRUE(api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 1, data));
    EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
}

TEST(Win32Remembered, AStandInOpensItsInterfaceWhenMoreThanTheAttributesIsAsked) {
    SKIP_UNLESS_WINE();
    Recording<RememberingPlatform> api;
    api.Search();
    const Handle h = OpenFirstHid(api, 0);
    ASSERT_NE(h, INVALID);
    EXPECT_FALSE(SystemHandle(h)) << "a known other device's interface is not opened again";
    HIDP_CAPS caps{};
    ASSERT_NO_FATAL_FAILURE(ExpectAWineDeviceAnswers(api, h, caps));
    EXPECT_TRUE(api.CloseHandle(h));
    EXPECT_FALSE(api.CloseHandle(h)) << "a stand-in closes once";
}

TEST(Win32Kernel, HidGuidAndAnsiCodePage) {
    Win32Platform api;
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const ::GUID hid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    EXPECT_TRUE(::IsEqualGUID(win32::ToNative(guid), hid));

    // 0x80 tells the Windows code page from ISO 8859-1, which the default conversion uses.
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP() << "; expectations are for 1252";
    EXPECT_EQ(api.AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(api.AnsiToUtf8("\x80"), "\xE2\x82\xAC");
    const std::uint8_t serial[] = {'S', 0, 0x80, 0, 0xE9, 0, 0, 0};
    EXPECT_EQ(HidStringToText(api, serial, sizeof serial), "S\xE2\x82\xAC\xC3\xA9");
}

}  // namespace
}  // namespace tarvo
