// The Win32 layer on the system's own HID devices. Under Wine these are its two virtual devices, a mouse
// (845E:0001) and a keyboard (845E:0002): neither is a pulse generator, so the walks must examine, close and
// skip both. Windows itself refuses read/write opens of mice and keyboards, so there the tests that open
// devices are skipped.
#include "device/DeviceFinder.h"
#include "device/HidString.h"
#include "device/Win32Platform.h"

#include "device/Win32Records.h"  // last: windows.h macros

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace tarvo {
namespace {

constexpr std::uint16_t WINE_VENDOR_ID = 0x845E;

struct FakeList final : SerialNumberList {
    std::vector<std::string> entries;
    int selected = -1;
    bool enabled = true;
    void Clear() override { entries.clear(), selected = -1; }
    void SetEnabled(bool on) override { enabled = on; }
    void Insert(int index, const std::string& text) override { entries.insert(entries.begin() + index, text); }
    void Select(int index) override { selected = index; }
    std::string SelectedText() const override { return selected < 0 ? std::string() : entries[selected]; }
};

// Records the opens, attribute reads and closes the walks make through the real layer. Handle values are reused
// as soon as they are closed, so what is open is followed call by call.
struct CountingPlatform final : Win32Platform {
    int opens = 0;
    std::set<Handle> live;
    int badCloses = 0;      // of a handle not open through this platform, or refused by the system
    std::vector<std::uint16_t> productIds;  // of the Wine devices whose attributes were read
    Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share, const SECURITY_ATTRIBUTES* security,
                       std::uint32_t disposition, std::uint32_t flags, Handle templateFile) override {
        const Handle h = Win32Platform::CreateFileA(path, access, share, security, disposition, flags, templateFile);
        if (h != ToHandle(INVALID_HANDLE_VALUE)) ++opens, live.insert(h);
        return h;
    }
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& attributes) override {
        const BOOL ok = Win32Platform::HidD_GetAttributes(device, attributes);
        if (ok && attributes.VendorID == WINE_VENDOR_ID) productIds.push_back(attributes.ProductID);
        return ok;
    }
    BOOL CloseHandle(Handle object) override {
        const BOOL ok = Win32Platform::CloseHandle(object);
        if (!ok || live.erase(object) == 0) ++badCloses;
        return ok;
    }
    static Handle ToHandle(HANDLE h) { return win32::FromNative(h); }
};

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#define SKIP_UNLESS_WINE() \
    if (!UnderWine()) GTEST_SKIP() << "needs Wine's virtual HID devices, which open read/write"

// The path of the first present HID interface, through the layer's own walk.
std::string FirstHidPath(Win32Platform& api) {
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    SP_DEVICE_INTERFACE_DATA data;
    std::string path;
    if (api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data)) {
        std::uint32_t required = 0;
        api.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
        std::vector<std::uint8_t> detail(required + 1, 0);
        if (api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &required, nullptr))
            path = reinterpret_cast<const char*>(detail.data() + DETAIL_PATH_OFFSET);
    }
    api.SetupDiDestroyDeviceInfoList(set);
    return path;
}

TEST(Win32Walks, ScanOpensExaminesAndClosesEveryInterfaceAndListsNone) {
    SKIP_UNLESS_WINE();
    CountingPlatform api;
    DeviceSession session;
    FakeList list;
    Scan_USB_devices({session, api, list});

    EXPECT_TRUE(list.entries.empty());
    EXPECT_FALSE(list.enabled);
    EXPECT_TRUE(session.EnumerationDone);
    // Both virtual devices were opened read/write and their attributes read.
    EXPECT_NE(std::count(api.productIds.begin(), api.productIds.end(), 0x0001), 0);
    EXPECT_NE(std::count(api.productIds.begin(), api.productIds.end(), 0x0002), 0);
    EXPECT_GE(api.opens, 2);
    EXPECT_TRUE(api.live.empty()) << "every candidate is closed";
    EXPECT_EQ(api.badCloses, 0);
    EXPECT_EQ(session.DeviceHandle, CountingPlatform::ToHandle(INVALID_HANDLE_VALUE));
}

TEST(Win32Walks, FindTheHidWithoutAPulseGeneratorOpensNothing) {
    SKIP_UNLESS_WINE();
    CountingPlatform api;
    DeviceSession session;
    FakeList list;
    list.entries = {"ABC123"};
    list.selected = 0;
    EXPECT_FALSE(FindTheHid({session, api, list}));
    EXPECT_FALSE(session.DeviceAttached);
    EXPECT_EQ(session.ReadEvent, 0u);
    EXPECT_GE(api.opens, 2);
    EXPECT_TRUE(api.live.empty());
    EXPECT_EQ(api.badCloses, 0);
}

// Wine checks the SetupAPI size fields exactly as Windows does, so a wrong size in the records built here makes
// the real calls fail (the detail header with ERROR_INVALID_USER_BUFFER, 1784).
TEST(Win32Records, SizeFieldsAreAcceptedAndAWrongOneIsRefused) {
    ::GUID guid;
    ::HidD_GetHidGuid(&guid);
    ::HDEVINFO set = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);

    ::SP_DEVICE_INTERFACE_DATA data = win32::EmptyInterfaceData();
    ASSERT_TRUE(::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) << ::GetLastError();
    ::SP_DEVICE_INTERFACE_DATA wrong = win32::EmptyInterfaceData();
    wrong.cbSize = sizeof(void*) == 8 ? 28 : 32;  // the other architecture's size
    EXPECT_FALSE(::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &wrong));
    const DWORD error = ::GetLastError();  // Wine answers ERROR_INVALID_PARAMETER here
    EXPECT_TRUE(error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_USER_BUFFER) << error;

    // The native record rebuilt from ours reaches the detail call; a detail header of the other size does not.
    ::SP_DEVICE_INTERFACE_DATA rebuilt = win32::ToNative(win32::FromNative(data));
    std::vector<std::uint8_t> detail(512, 0);
    win32::WriteDetailHeader(detail.data());
    EXPECT_TRUE(::SetupDiGetDeviceInterfaceDetailA(
        set, &rebuilt, reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data()), 512, nullptr, nullptr))
        << ::GetLastError();
    const DWORD otherSize = sizeof(void*) == 8 ? 5 : 8;
    std::memcpy(detail.data(), &otherSize, sizeof otherSize);
    EXPECT_FALSE(::SetupDiGetDeviceInterfaceDetailA(
        set, &rebuilt, reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data()), 512, nullptr, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    ::SetupDiDestroyDeviceInfoList(set);
}

TEST(Win32Detail, TwoStepCallStaysInItsBufferAndRefusesForeignRecords) {
    Win32Platform api;
    GUID guid;
    api.HidD_GetHidGuid(guid);
    const HDEVINFO set = api.SetupDiGetClassDevsA(guid, nullptr, 0, CLASS_DEVICES_FLAGS);
    SP_DEVICE_INTERFACE_DATA data;
    ASSERT_TRUE(api.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 0, data));

    std::uint32_t required = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr));
    ASSERT_GT(required, win32::DETAIL_MIN_BYTES);

    // Too short: no byte beyond the size given is touched, and the size needed is still reported.
    std::vector<std::uint8_t> small(8, 0xCC);
    std::uint32_t again = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, small.data(), 3, &again, nullptr));
    EXPECT_EQ(again, required);
    EXPECT_EQ(small, std::vector<std::uint8_t>(8, 0xCC));

    std::vector<std::uint8_t> detail(required + 1, 0xCC);
    ASSERT_TRUE(api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &again, nullptr));
    EXPECT_EQ(detail[required], 0xCC);
    const char* path = reinterpret_cast<const char*>(detail.data() + DETAIL_PATH_OFFSET);
    EXPECT_LT(strnlen(path, required - DETAIL_PATH_OFFSET), required - DETAIL_PATH_OFFSET);
    EXPECT_EQ(std::string(path).rfind("\\\\?\\", 0), 0u) << path;

    // A record the layer did not give out, or one of a destroyed set, never reaches SetupAPI.
    SP_DEVICE_INTERFACE_DATA forged = data;
    forged.Reserved = 0;
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, forged, detail.data(), required, &again, nullptr));
    api.SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(api.SetupDiGetDeviceInterfaceDetailA(set, data, detail.data(), required, &again, nullptr));
}

TEST(Win32Device, OpenGivesInheritableHandleAttributesStringsAndCaps) {
    SKIP_UNLESS_WINE();
    Win32Platform api;
    const std::string path = FirstHidPath(api);
    ASSERT_FALSE(path.empty());
    const SECURITY_ATTRIBUTES inherit{nullptr, 1};
    const Handle h = api.CreateFileA(path.c_str(), 0xC0000000u, 3, &inherit, 3, 0, 0);
    ASSERT_NE(h, CountingPlatform::ToHandle(INVALID_HANDLE_VALUE));
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(win32::ToNative(h), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT) << "the security record reached CreateFileA";

    HIDD_ATTRIBUTES attributes;
    ASSERT_TRUE(api.HidD_GetAttributes(h, attributes));
    EXPECT_EQ(attributes.VendorID, WINE_VENDOR_ID);

    std::vector<std::uint8_t> text(STRING_BUFFER_BYTES, 0);
    ASSERT_TRUE(api.HidD_GetProductString(h, text.data(), STRING_READ_LENGTH));
    EXPECT_FALSE(HidStringToText(api, text.data(), text.size()).empty());

    PreparsedData preparsed = 0;
    ASSERT_TRUE(api.HidD_GetPreparsedData(h, preparsed));
    HIDP_CAPS caps;
    EXPECT_EQ(api.HidP_GetCaps(preparsed, caps), HIDP_STATUS_SUCCESS);
    EXPECT_GT(caps.InputReportByteLength, 0);
    EXPECT_TRUE(api.HidD_FreePreparsedData(preparsed));
    HIDP_CAPS untouched;
    untouched.InputReportByteLength = 77;
    EXPECT_NE(api.HidP_GetCaps(0, untouched), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(untouched.InputReportByteLength, 77);
    EXPECT_TRUE(api.CloseHandle(h));
}

// The poll's read on a device with no report waiting: it must end with nothing in flight, because the poll
// releases its buffer right after. A read left pending keeps the event unsignalled and the status STATUS_PENDING.
TEST(Win32Device, OverlappedReadWithoutReportReturnsZeroAndLeavesNoReadPending) {
    SKIP_UNLESS_WINE();
    Win32Platform api;
    const std::string path = FirstHidPath(api);
    ASSERT_FALSE(path.empty());
    const SECURITY_ATTRIBUTES security{nullptr, 1};
    const Handle h = api.CreateFileA(path.c_str(), 0xC0000000u, 3, &security, 3, FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(h, CountingPlatform::ToHandle(INVALID_HANDLE_VALUE));
    PreparsedData preparsed = 0;
    HIDP_CAPS caps;
    ASSERT_TRUE(api.HidD_GetPreparsedData(h, preparsed));
    ASSERT_EQ(api.HidP_GetCaps(preparsed, caps), HIDP_STATUS_SUCCESS);
    api.HidD_FreePreparsedData(preparsed);

    const Handle event = api.CreateEventA(&security, 1, 1, "");
    ASSERT_NE(event, 0u);
    tarvo::OVERLAPPED overlapped;
    overlapped.hEvent = event;
    for (int i = 0; i < 300; ++i) {
        auto* buffer = new std::uint8_t[caps.InputReportByteLength]();
        std::uint32_t bytesRead = 99;
        EXPECT_EQ(api.ReadFile(h, buffer, caps.InputReportByteLength, &bytesRead, &overlapped), 0);
        delete[] buffer;
        EXPECT_EQ(bytesRead, 0u);
        ASSERT_NE(overlapped.Internal, static_cast<std::uintptr_t>(STATUS_PENDING)) << "iteration " << i;
        ASSERT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0) << "iteration " << i;
    }
    // The failed second open of a walk leaves the invalid handle: the read fails at once.
    std::uint8_t probe[65] = {};
    EXPECT_EQ(api.ReadFile(CountingPlatform::ToHandle(INVALID_HANDLE_VALUE), probe, 65, nullptr, &overlapped), 0);
    EXPECT_TRUE(api.CloseHandle(h));
    EXPECT_TRUE(api.CloseHandle(event));
}

TEST(Win32Kernel, ReadEventIsManualResetSignalledAndInheritable) {
    Win32Platform api;
    const SECURITY_ATTRIBUTES security{nullptr, 1};
    const Handle event = api.CreateEventA(&security, 1, 1, "");
    ASSERT_NE(event, 0u);
    // An auto-reset event would be unsignalled after the first wait.
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(event), 0), WAIT_OBJECT_0);
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(win32::ToNative(event), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
    // Unnamed: a second event with the empty name is a new, unsignalled object, not the first one opened again.
    const Handle other = api.CreateEventA(&security, 1, 0, "");
    EXPECT_EQ(::WaitForSingleObject(win32::ToNative(other), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    api.CloseHandle(other);
    api.CloseHandle(event);
}

TEST(Win32Kernel, HidGuidIsTheHidInterfaceClass) {
    Win32Platform api;
    GUID guid;
    api.HidD_GetHidGuid(guid);
    EXPECT_EQ(guid.Data1, 0x4D1E55B2u);
    EXPECT_EQ(guid.Data2, 0xF16F);
    EXPECT_EQ(guid.Data3, 0x11CF);
    const std::uint8_t tail[8] = {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
    EXPECT_EQ(std::memcmp(guid.Data4, tail, 8), 0);
}

// 0x80 tells the Windows code page from ISO 8859-1, which the default conversion uses.
TEST(Win32Kernel, AnsiTextFollowsTheWindowsCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP() << ", expectations are for 1252";
    Win32Platform api;
    EXPECT_EQ(api.AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(api.AnsiToUtf8("\x80"), "\xE2\x82\xAC");
    EXPECT_EQ(api.AnsiToUtf8(""), "");
    const std::uint8_t serial[] = {'S', 0, 0x80, 0, 0xE9, 0, 0, 0};
    EXPECT_EQ(HidStringToText(api, serial, sizeof serial), "S\xE2\x82\xAC\xC3\xA9");
}

}  // namespace
}  // namespace tarvo
