// The Win32 main window as a user sees it, under Wine (or Windows) with a desktop: geometry at 96 and 144 DPI,
// fonts, icons, tab order, initial states, the real timer through unplugging, the timer during a message box,
// and what a screen reader reads of each control through Windows' accessibility (MSAA).
#include "device/SimulatedPlatform.h"
#include "win32/Win32MainWindow.h"

#include <gtest/gtest.h>
#include <oleacc.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

using namespace tarvo;

namespace {

SimDeviceConfig Generator(const char* name) {
    SimDeviceConfig d;
    d.name = name;
    d.serial = std::u16string(name, name + std::char_traits<char>::length(name));
    return d;
}

// Runs the window's messages until done() holds or the bound passes; returns done().
bool PumpUntil(const std::function<bool()>& done, int boundMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

// A control's rectangle in the window's client area.
RECT ClientRect(const Win32MainWindow& w, ControlId id) {
    RECT r;
    GetWindowRect(w.control(id), &r);
    MapWindowPoints(nullptr, w.hwnd(), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Where the control must lie, in pixels at a density: the table's twips from the client area's corner.
RECT Expected(ControlId id, int dpi) {
    const ControlSpec& c = Designed(id);
    double left = c.left, top = c.top;
    if (c.container) {
        left += Designed(*c.container).left;
        top += Designed(*c.container).top;
    }
    const double scale = dpi / 1440.0;
    return RECT{static_cast<LONG>(std::lround(left * scale)), static_cast<LONG>(std::lround(top * scale)),
                static_cast<LONG>(std::lround((left + c.width) * scale)),
                static_cast<LONG>(std::lround((top + c.height) * scale))};
}

void ExpectLayoutAt(const Win32MainWindow& w, int dpi) {
    RECT client;
    GetClientRect(w.hwnd(), &client);
    EXPECT_EQ(client.right, TwipsToPixels(CLIENT_WIDTH_TWIPS, dpi));
    EXPECT_EQ(client.bottom, TwipsToPixels(CLIENT_HEIGHT_TWIPS, dpi));
    for (const ControlSpec& c : ControlTable()) {
        if (c.kind == ControlKind::Timer) continue;
        const RECT got = ClientRect(w, c.id), want = Expected(c.id, dpi);
        EXPECT_LE(std::abs(got.left - want.left), 1) << c.name << " at " << dpi << " DPI";
        EXPECT_LE(std::abs(got.top - want.top), 1) << c.name << " at " << dpi << " DPI";
        EXPECT_LE(std::abs((got.right - got.left) - (want.right - want.left)), 1) << c.name << " at " << dpi << " DPI";
        EXPECT_LE(std::abs((got.bottom - got.top) - (want.bottom - want.top)), 1) << c.name << " at " << dpi << " DPI";
        LOGFONTW font{};
        auto handle = reinterpret_cast<HFONT>(SendMessageW(w.control(c.id), WM_GETFONT, 0, 0));
        ASSERT_TRUE(handle && GetObjectW(handle, sizeof(font), &font)) << c.name;
        EXPECT_EQ(font.lfHeight, -std::lround(c.font.points * dpi / 72.0)) << c.name;
    }
}

class Win32WindowTest : public ::testing::Test {
protected:
    SimulatedPlatform sim;
    Win32MainWindow w{sim, GetModuleHandleW(nullptr), false};

    void SetUp() override {
        ASSERT_NE(w.hwnd(), nullptr) << "no window: is there a desktop (DISPLAY)?";
        w.form().messageBox = [](const std::string&, const std::string&) {};
    }
    void TearDown() override { SendMessageW(w.hwnd(), WM_CLOSE, 0, 0); }
};

TEST_F(Win32WindowTest, WindowHasItsCaptionStyleAndBothIconImages) {
    wchar_t caption[64] = {};
    GetWindowTextW(w.hwnd(), caption, 64);
    EXPECT_EQ(Utf8(caption), "Tarvo Pulse Generator");
    const LONG style = GetWindowLongW(w.hwnd(), GWL_STYLE);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_NE(SendMessageW(w.hwnd(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(w.hwnd(), WM_GETICON, ICON_SMALL, 0), 0);
}

TEST_F(Win32WindowTest, ControlsAndFontsFollowTheTableAt96AndAt144Dpi) {
    if (w.dpi() != 96) GTEST_SKIP() << "the desktop runs at " << w.dpi() << " DPI";
    ExpectLayoutAt(w, 96);
    for (const ControlSpec& c : ControlTable()) {
        if (c.kind == ControlKind::Timer) continue;
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(w.control(c.id), WM_GETFONT, 0, 0)), sizeof(font), &font);
        EXPECT_EQ(Utf8(font.lfFaceName), c.font.family) << c.name;
        EXPECT_EQ(font.lfCharSet, c.font.cyrillic ? RUSSIAN_CHARSET : DEFAULT_CHARSET) << c.name;
        EXPECT_TRUE(font.lfWeight == FW_NORMAL && !font.lfItalic && !font.lfUnderline) << c.name;
        wchar_t text[64] = {};
        GetWindowTextW(w.control(c.id), text, 64);
        if (c.kind != ControlKind::DropDownList) {
            EXPECT_EQ(Utf8(text), c.caption) << c.name;
        }
    }
    // The trigger/sync group begins below the client area.
    RECT client;
    GetClientRect(w.hwnd(), &client);
    EXPECT_GE(ClientRect(w, ControlId::trig_frame).top, client.bottom);

    // Moved to a monitor of 144 DPI: 10 twips a pixel.
    RECT suggested;
    GetWindowRect(w.hwnd(), &suggested);
    SendMessageW(w.hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    ExpectLayoutAt(w, 144);
}

TEST_F(Win32WindowTest, TabOrderInitialStatesAndLabelsAbovePlainText) {
    std::vector<ControlId> order;
    for (HWND h = GetWindow(w.hwnd(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        if (GetWindowLongW(h, GWL_STYLE) & WS_TABSTOP)
            for (const ControlSpec& c : ControlTable())
                if (w.control(c.id) == h) order.push_back(c.id);
    EXPECT_EQ(order, TabOrder());

    for (const ControlSpec& c : ControlTable()) {
        EXPECT_EQ(w.ownEnabled(c.id), c.enabled) << c.name;
        if (c.kind == ControlKind::Timer) continue;
        const LONG style = GetWindowLongW(w.control(c.id), GWL_STYLE);
        EXPECT_EQ((style & WS_VISIBLE) != 0, c.visible) << c.name;
        EXPECT_EQ((style & WS_TABSTOP) != 0, TakesFocus(c.kind)) << c.name;
        const bool frameEnabled = !c.container || Designed(*c.container).enabled;
        EXPECT_EQ(IsWindowEnabled(w.control(c.id)) != FALSE, c.enabled && frameEnabled) << c.name;
        if (c.kind == ControlKind::DropDownList) {
            EXPECT_EQ(style & 0x3, CBS_DROPDOWNLIST) << c.name;
            EXPECT_EQ(SendMessageW(w.control(c.id), CB_GETCOUNT, 0, 0), 0) << c.name;
        }
        if (c.kind == ControlKind::Label || c.kind == ControlKind::ValueLabel) {
            EXPECT_TRUE(style & SS_NOPREFIX) << c.name;
        }
    }
    EXPECT_FALSE(w.timerRunning());
    EXPECT_EQ(w.timerInterval(), 50);

    // lblProduct lies above lblSerialNumber, which shares its rectangle and is clipped where they overlap.
    HWND h = GetWindow(w.hwnd(), GW_CHILD);
    while (h && h != w.control(ControlId::lblProduct) && h != w.control(ControlId::lblSerialNumber))
        h = GetWindow(h, GW_HWNDNEXT);
    EXPECT_EQ(h, w.control(ControlId::lblProduct));
    EXPECT_TRUE(GetWindowLongW(w.control(ControlId::lblSerialNumber), GWL_STYLE) & WS_CLIPSIBLINGS);
}

TEST_F(Win32WindowTest, TheRealTimerFollowsUnpluggingAndPlugging) {
    sim.Plug(Generator("A"));
    w.form().Form_Load();
    ASSERT_TRUE(w.form().session().DeviceAttached);
    char product[64] = {};
    GetWindowTextA(w.control(ControlId::lblProduct), product, 64);
    EXPECT_STREQ(product, " Pulse Generator");
    EXPECT_TRUE(PumpUntil([&] { return w.timerInterval() == 500; }));
    sim.Unplug("A");
    EXPECT_TRUE(PumpUntil([&] { return !w.form().session().DeviceAttached && w.timerInterval() == 250; }));
    EXPECT_EQ(GetWindowTextLengthW(w.control(ControlId::lblProduct)), 0);
    EXPECT_FALSE(IsWindowEnabled(w.control(ControlId::Foutput)));
    sim.Plug(Generator("A"));
    EXPECT_TRUE(PumpUntil([&] { return w.form().session().DeviceAttached && w.timerInterval() == 500; }));
    SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(w.timerRunning());
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
}

void CALLBACK CloseMessageBox(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    if (HWND box = FindWindowW(L"#32770", L"Bad input")) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

// The box runs its own message loop, in which WM_TIMER keeps arriving: those ticks poll nothing, and the timer
// polls again once the box is closed.
TEST_F(Win32WindowTest, TicksDuringAMessageBoxDoNothingAndTheTimerGoesOnAfterIt) {
    sim.Plug(Generator("A"));
    w.form().Form_Load();
    w.form().messageBox = [this](const std::string& title, const std::string& prompt) {
        // Closes the box from inside its own loop, 400 ms (several ticks) after it opened.
        SetTimer(nullptr, 0, 400, CloseMessageBox);
        const std::size_t before = sim.Calls().size();
        MessageBoxW(w.hwnd(), Wide(prompt).c_str(), Wide(title).c_str(), MB_OK);
        EXPECT_EQ(sim.Calls().size(), before) << "a tick polled while the box was open";
    };
    SetWindowTextW(w.control(ControlId::Foutput), L"not a number");
    SendMessageW(w.control(ControlId::SetFout), BM_CLICK, 0, 0);
    const std::size_t after = sim.Calls().size();
    EXPECT_TRUE(PumpUntil([&] { return sim.Calls().size() > after; })) << "the timer stopped after the box";
    EXPECT_TRUE(w.timerRunning());
    EXPECT_EQ(GetFocus(), w.control(ControlId::Foutput));
}

// What MSAA gives a reader of one object, through the system's proxy for the window's own control.
struct ReaderView {
    bool found = false;
    LONG role = 0;
    std::string name, value;
    LONG state = 0;
};

std::string Text(BSTR text) {
    std::string utf8 = text ? Utf8(std::wstring(text, SysStringLen(text))) : std::string();
    SysFreeString(text);
    return utf8;
}

ReaderView Read(HWND h) {
    ReaderView v;
    IAccessible* acc = nullptr;
    if (FAILED(AccessibleObjectFromWindow(h, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&acc))) || !acc)
        return v;
    v.found = true;
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT result{};
    if (SUCCEEDED(acc->get_accRole(self, &result)) && result.vt == VT_I4) v.role = result.lVal;
    VariantClear(&result);
    if (SUCCEEDED(acc->get_accState(self, &result)) && result.vt == VT_I4) v.state = result.lVal;
    VariantClear(&result);
    BSTR text = nullptr;
    if (acc->get_accName(self, &text) == S_OK) v.name = Text(text);
    text = nullptr;
    if (acc->get_accValue(self, &text) == S_OK) v.value = Text(text);
    acc->Release();
    return v;
}

LONG RoleOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Frame: return ROLE_SYSTEM_GROUPING;
        case ControlKind::Label:
        case ControlKind::ValueLabel: return ROLE_SYSTEM_STATICTEXT;
        case ControlKind::TextBox: return ROLE_SYSTEM_TEXT;
        case ControlKind::Button: return ROLE_SYSTEM_PUSHBUTTON;
        case ControlKind::DropDownList: return ROLE_SYSTEM_COMBOBOX;
        case ControlKind::Timer: break;
    }
    return 0;
}

// Whether this system's MSAA gives the names annotated through IAccPropServices (Windows does; Wine 8's oleacc
// takes every name from the window's text).
bool SystemGivesAnnotatedNames() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"caption", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    IAccPropServices* services = nullptr;
    bool gives = false;
    if (probe && SUCCEEDED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                            reinterpret_cast<void**>(&services)))) {
        if (SUCCEEDED(services->SetHwndPropStr(probe, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, L"annotated")))
            gives = Read(probe).name == "annotated";
        const MSAAPROPID name = PROPID_ACC_NAME;
        services->ClearHwndProps(probe, OBJID_CLIENT, CHILDID_SELF, &name, 1);
        services->Release();
    }
    if (probe) DestroyWindow(probe);
    return gives;
}

// Whether this system's MSAA gives the standard controls their own roles (Windows does; Wine 8's oleacc gives
// every one but the text box the role of a plain window's client area).
bool SystemGivesControlRoles() {
    HWND probe = CreateWindowExW(0, L"BUTTON", L"caption", WS_POPUP | BS_PUSHBUTTON, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
    const bool gives = probe && Read(probe).role == ROLE_SYSTEM_PUSHBUTTON;
    if (probe) DestroyWindow(probe);
    return gives;
}

// Prints the tree as a reader walks it (the window's controls in Z order), then checks each control's role, and
// its name and state as far as the system implements them.
TEST_F(Win32WindowTest, AReaderReadsEachControlsRoleAndName) {
    sim.Plug(Generator("TPG-000123"));
    w.form().Form_Load();
    ASSERT_TRUE(w.form().session().DeviceAttached);
    std::printf("%s\n", Read(w.hwnd()).name.c_str());
    for (HWND h = GetWindow(w.hwnd(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        const ReaderView v = Read(h);
        wchar_t role[64] = {};
        GetRoleTextW(static_cast<DWORD>(v.role), role, 64);
        std::printf("  %s '%s'%s%s%s%s%s\n", Utf8(role).c_str(), v.name.c_str(),
                    v.value.empty() ? "" : (" = '" + v.value + "'").c_str(),
                    v.state & STATE_SYSTEM_INVISIBLE ? " invisible" : "",
                    v.state & STATE_SYSTEM_OFFSCREEN ? " offscreen" : "",
                    v.state & STATE_SYSTEM_UNAVAILABLE ? " unavailable" : "",
                    v.state & STATE_SYSTEM_FOCUSABLE ? " focusable" : "");
    }
    std::fflush(stdout);

    const bool annotated = SystemGivesAnnotatedNames(), roles = SystemGivesControlRoles();
    if (!annotated) std::printf("This system's MSAA gives no annotated names: only captions' names are checked.\n");
    if (!roles) std::printf("This system's MSAA gives no control roles: only the text box's role is checked.\n");
    for (const ControlSpec& c : ControlTable()) {
        if (c.kind == ControlKind::Timer) continue;
        const ReaderView v = Read(w.control(c.id));
        ASSERT_TRUE(v.found) << c.name;
        if (roles || c.kind == ControlKind::TextBox) {
            EXPECT_EQ(v.role, RoleOf(c.kind)) << c.name;
        }
        if (!c.visible) {
            EXPECT_TRUE(v.state & STATE_SYSTEM_INVISIBLE) << c.name;
        }
        if (!annotated) {
            if (!NamedBy(c.id) && c.id != ControlId::lblSerialNumber) {
                EXPECT_EQ(v.name, c.caption) << c.name;
            }
            continue;
        }
        EXPECT_EQ(v.name, AccessibleName(c.id)) << c.name;
        if (PresenceFor(c.id) == ReaderPresence::Hidden) {
            EXPECT_TRUE(v.state & STATE_SYSTEM_INVISIBLE) << c.name;
        }
        if (PresenceFor(c.id) == ReaderPresence::OffScreen) {
            EXPECT_TRUE(v.state & STATE_SYSTEM_OFFSCREEN) << c.name;
        }
        if (c.kind == ControlKind::ValueLabel && c.id != ControlId::lblSerialNumber) {
            EXPECT_EQ(v.value, w.Text(c.id)) << c.name;
        }
    }
}

}  // namespace
