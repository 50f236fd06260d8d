#include "Win32MainWindow.h"

#include <commctrl.h>

#include <cmath>
#include <string_view>

namespace tarvo {
namespace {

const wchar_t* const WINDOW_CLASS = L"TarvoPulseGeneratorWindow";
constexpr UINT_PTR TIMER_ID = 1;
constexpr int FIRST_CONTROL_ID = 100;
constexpr DWORD WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;  // fixed size, no minimise or maximise
constexpr int LIST_DROP_ROWS = 12;  // entries a dropped-down list shows before it scrolls

int ControlIdOf(ControlId id) { return FIRST_CONTROL_ID + static_cast<int>(id); }

// The screen density of a window, where the system can tell it per monitor (Windows 10 1607 and later), else
// of the whole screen.
int DpiOf(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && hwnd) {
        if (const UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The outer size of a window whose client area is width x height at a density.
SIZE WindowSizeFor(int width, int height, int dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustForDpiFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    RECT r = {0, 0, width, height};
    if (!(adjustForDpi && adjustForDpi(&r, WINDOW_STYLE, FALSE, 0, static_cast<UINT>(dpi))))
        AdjustWindowRectEx(&r, WINDOW_STYLE, FALSE, 0);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

// A control's rectangle in the window's client area, in twips.
RECT TwipsRect(const ControlSpec& c) {
    int left = c.left, top = c.top;
    if (c.container) {
        left += Designed(*c.container).left;
        top += Designed(*c.container).top;
    }
    return RECT{left, top, left + c.width, top + c.height};
}

const wchar_t* ClassOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Frame:
        case ControlKind::Button: return L"BUTTON";
        case ControlKind::Label:
        case ControlKind::ValueLabel: return L"STATIC";
        case ControlKind::TextBox: return L"EDIT";
        case ControlKind::DropDownList: return L"COMBOBOX";
        case ControlKind::Timer: break;
    }
    return nullptr;
}

DWORD StyleOf(const ControlSpec& c) {
    // Siblings never paint over one another, so lblProduct's text is never covered by lblSerialNumber.
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (c.visible ? WS_VISIBLE : 0);
    switch (c.kind) {
        case ControlKind::Frame: return style | BS_GROUPBOX;
        case ControlKind::Button: return style | WS_TABSTOP | BS_PUSHBUTTON;
        // Device strings are shown as they are: '&' is no mnemonic.
        case ControlKind::Label:
        case ControlKind::ValueLabel: return style | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
        case ControlKind::TextBox: return style | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
        case ControlKind::DropDownList: return style | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
        case ControlKind::Timer: break;
    }
    return style;
}

bool IsList(ControlId id) { return Designed(id).kind == ControlKind::DropDownList; }

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

Win32MainWindow::Win32MainWindow(ApiDeclarations& api, HINSTANCE instance, bool quitOnClose)
    : quitOnClose_(quitOnClose), form_(*this, api) {
    INITCOMMONCONTROLSEX common = {sizeof(common), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&common);

    // The icon's two images, 32 and 16 pixels, from the program's resources (absent in test programs).
    bigIcon_ = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));

    WNDCLASSEXW cls = {};
    cls.cbSize = sizeof(cls);
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = instance;
    cls.hIcon = bigIcon_;
    cls.hIconSm = smallIcon_;
    cls.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = WINDOW_CLASS;
    RegisterClassExW(&cls);  // fails harmlessly when a previous window registered it

    const std::wstring caption = Wide(WINDOW_CAPTION);
    hwnd_ = CreateWindowExW(0, WINDOW_CLASS, caption.c_str(), WINDOW_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (!hwnd_) return;  // no window: every view operation below does nothing
    if (bigIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    if (smallIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    CreateControls(instance);
    Layout(DpiOf(hwnd_));
}

Win32MainWindow::~Win32MainWindow() {
    readers_.Clear();
    if (hwnd_) {
        KillTimer(hwnd_, TIMER_ID);
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);  // no message reaches this object once it is gone
        DestroyWindow(hwnd_);
    }
    for (const Font& f : fonts_) DeleteObject(f.handle);
    if (bigIcon_) DestroyIcon(bigIcon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
}

void Win32MainWindow::CreateControls(HINSTANCE instance) {
    for (const ControlSpec& c : ControlTable()) {
        const int index = static_cast<int>(c.id);
        enabled_[index] = c.enabled;
        if (c.kind == ControlKind::Timer) continue;
        const std::wstring caption = Wide(c.caption);
        const DWORD exStyle = c.kind == ControlKind::TextBox ? WS_EX_CLIENTEDGE : 0;
        controls_[index] = CreateWindowExW(exStyle, ClassOf(c.kind), caption.c_str(), StyleOf(c), 0, 0, 0, 0, hwnd_,
                                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlIdOf(c.id))),
                                           instance, nullptr);
    }
    for (const ControlSpec& c : ControlTable()) ApplyEnabled(c.id);

    // Keyboard order: the dialog manager moves the focus in Z order, so the controls that take the focus are
    // stacked in their tab order, each list just after the label that names it (Windows' accessibility names a
    // control without a caption after the label before it); frames go to the bottom, below what they contain,
    // and lblSerialNumber lies under lblProduct.
    HWND previous = HWND_TOP;
    const auto stack = [&](ControlId id) {
        SetWindowPos(control(id), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = control(id);
    };
    for (ControlId id : TabOrder()) {
        if (!control(id)) continue;
        const std::optional<ControlId> namer = NamedBy(id);
        if (namer && Designed(*namer).kind == ControlKind::Label && control(*namer)) stack(*namer);
        stack(id);
    }
    if (control(ControlId::lblSerialNumber) && control(ControlId::lblProduct))
        SetWindowPos(control(ControlId::lblSerialNumber), control(ControlId::lblProduct), 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    for (const ControlSpec& c : ControlTable())
        if (c.kind == ControlKind::Frame && control(c.id))
            SetWindowPos(control(c.id), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    readers_.Annotate(controls_);
}

HFONT Win32MainWindow::FontFor(const FontSpec& design, int dpi) {
    for (const Font& f : fonts_)
        if (f.dpi == dpi && f.design.points == design.points && f.design.cyrillic == design.cyrillic &&
            std::string_view(f.design.family) == design.family)
            return f.handle;
    const int height = -static_cast<int>(std::lround(design.points * dpi / 72.0));
    const std::wstring family = Wide(design.family);
    HFONT font = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             design.cyrillic ? RUSSIAN_CHARSET : DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, family.c_str());
    if (font) fonts_.push_back(Font{design, dpi, font});
    return font;  // null: the control keeps the system's font
}

void Win32MainWindow::Layout(int dpi) {
    dpi_ = dpi;
    const int clientWidth = TwipsToPixels(CLIENT_WIDTH_TWIPS, dpi), clientHeight = TwipsToPixels(CLIENT_HEIGHT_TWIPS, dpi);
    SIZE outer = WindowSizeFor(clientWidth, clientHeight, dpi);
    SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame the system actually draws may differ from the one computed for the density (a system that
    // scales frames by another density): the client area is what must have the table's size.
    RECT client;
    if (GetClientRect(hwnd_, &client) && (client.right != clientWidth || client.bottom != clientHeight)) {
        outer.cx += clientWidth - client.right;
        outer.cy += clientHeight - client.bottom;
        SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    std::vector<Font> previous;
    previous.swap(fonts_);
    for (const ControlSpec& c : ControlTable()) {
        HWND h = control(c.id);
        if (!h) continue;
        const RECT r = TwipsRect(c);
        const int left = TwipsToPixels(r.left, dpi), top = TwipsToPixels(r.top, dpi);
        const int width = TwipsToPixels(r.right, dpi) - left, height = TwipsToPixels(r.bottom, dpi) - top;
        if (HFONT font = FontFor(c.font, dpi)) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (c.kind == ControlKind::DropDownList) {
            // A combo box's window height includes its dropped-down list; the closed box is made as tall as
            // the table says through the height of its selection field.
            SetWindowPos(h, nullptr, left, top, width, height * LIST_DROP_ROWS, SWP_NOZORDER | SWP_NOACTIVATE);
            FitListHeight(h, height);
        } else {
            SetWindowPos(h, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    for (const Font& f : previous) DeleteObject(f.handle);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

// Steps the selection field's height by what the box's height still misses: a system may add to the height
// asked for (Wine adds two pixels), so each step starts from the height last asked for, not the one reported.
void Win32MainWindow::FitListHeight(HWND list, int height) {
    LRESULT asked = SendMessageW(list, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    for (int step = 0; step < 3 && asked != CB_ERR; ++step) {
        RECT r;
        GetWindowRect(list, &r);
        const int difference = height - (r.bottom - r.top);
        if (difference == 0 || asked + difference < 1) return;
        asked += difference;
        SendMessageW(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), asked);
    }
}

// A control takes input only while it and the frame around it are enabled; it is drawn accordingly.
void Win32MainWindow::ApplyEnabled(ControlId id) {
    HWND h = control(id);
    if (!h) return;
    const std::optional<ControlId> frame = Designed(id).container;
    EnableWindow(h, enabled_[static_cast<int>(id)] && (!frame || enabled_[static_cast<int>(*frame)]));
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && self->hwnd_ == hwnd) return self->OnMessage(message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT Win32MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == TIMER_ID && timerRunning_) form_.Timer_Timer();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_CTLCOLORSTATIC: {
            // Value labels on the window-background colour, in the window-text colour.
            const HWND from = reinterpret_cast<HWND>(lParam);
            for (ControlId id : {ControlId::lblProduct, ControlId::lblSerialNumber, ControlId::lblManuf, ControlId::lblVersion}) {
                if (from != control(id)) continue;
                auto dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            break;
        }
        case WM_DPICHANGED: {
            // Moved to a monitor of another density: the same layout at the new density, where the system
            // suggests.
            Layout(HIWORD(wParam));
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            form_.Form_Unload();
            ShowWindow(hwnd_, SW_HIDE);
            if (quitOnClose_) PostQuitMessage(0);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void Win32MainWindow::OnCommand(int id, int notification, HWND from) {
    if (!from) return;  // menus and accelerators: the window has none
    if (id < FIRST_CONTROL_ID || id >= FIRST_CONTROL_ID + CONTROL_COUNT) return;
    const ControlId source = static_cast<ControlId>(id - FIRST_CONTROL_ID);
    if (from != control(source)) return;
    if (notification == BN_CLICKED) {
        if (source == ControlId::SetFout) form_.SetFout_Click();
        if (source == ControlId::Factory) form_.Factory_Click();
        return;
    }
    // A user's pick: from the dropped-down list when it is accepted (even the entry already chosen), or by the
    // keyboard on the closed list. Choices made by code send neither.
    const bool picked = notification == CBN_SELENDOK ||
                        (notification == CBN_SELCHANGE && !SendMessageW(from, CB_GETDROPPEDSTATE, 0, 0));
    if (!picked) return;
    if (source == ControlId::SerNo) form_.SerNo_Click();
    if (source == ControlId::Vout) form_.Vout_Click();
}

int Win32MainWindow::RunMessageLoop() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (hwnd_ && IsDialogMessageW(hwnd_, &msg)) continue;  // Tab, Shift+Tab and the arrow keys
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// --- FormView ---

void Win32MainWindow::ShowForm() {
    if (!hwnd_) return;
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
}

// Each setter leaves a control alone when it already shows what it is given, so a refresh of a window that is
// already cleared and disabled changes nothing and draws nothing.
void Win32MainWindow::SetText(ControlId id, const std::string& text) {
    HWND h = control(id);
    if (!h || Text(id) == text) return;
    SetWindowTextW(h, Wide(text).c_str());
    if (Designed(id).kind == ControlKind::ValueLabel) readers_.ShowValue(h, text);
}

std::string Win32MainWindow::Text(ControlId id) const {
    HWND h = control(id);
    if (!h) return {};
    if (IsList(id)) return ListItemText(id, ListIndex(id));
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
    return Utf8(text);
}

std::string Win32MainWindow::ListItemText(ControlId id, int index) const {
    HWND h = control(id);
    const LRESULT length = h && index >= 0 ? SendMessageW(h, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0) : CB_ERR;
    if (length == CB_ERR) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(h, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
    return Utf8(text);
}

void Win32MainWindow::SetEnabled(ControlId id, bool enabled) {
    bool& own = enabled_[static_cast<int>(id)];
    if (own == enabled) return;
    own = enabled;
    ApplyEnabled(id);
    if (Designed(id).kind == ControlKind::Frame)
        for (const ControlSpec& c : ControlTable())
            if (c.container == id) ApplyEnabled(c.id);
}

void Win32MainWindow::SetFocus(ControlId id) {
    if (HWND h = control(id)) ::SetFocus(h);
}

void Win32MainWindow::ClearList(ControlId id) {
    if (ListCount(id) > 0) SendMessageW(control(id), CB_RESETCONTENT, 0, 0);
}

void Win32MainWindow::AppendListItems(ControlId id, std::span<const std::string> texts) {
    HWND h = control(id);
    if (!h) return;
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    SendMessageW(h, CB_INITSTORAGE, texts.size(), texts.size() * 8 * sizeof(wchar_t));
    for (const std::string& text : texts) SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
}

void Win32MainWindow::InsertListItem(ControlId id, int index, const std::string& text) {
    if (HWND h = control(id)) SendMessageW(h, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void Win32MainWindow::SetListIndex(ControlId id, int index) {
    if (HWND h = control(id)) SendMessageW(h, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32MainWindow::ListIndex(ControlId id) const {
    HWND h = control(id);
    const LRESULT index = h ? SendMessageW(h, CB_GETCURSEL, 0, 0) : CB_ERR;
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

int Win32MainWindow::ListCount(ControlId id) const {
    HWND h = control(id);
    const LRESULT count = h ? SendMessageW(h, CB_GETCOUNT, 0, 0) : CB_ERR;
    return count == CB_ERR ? 0 : static_cast<int>(count);
}

void Win32MainWindow::StartTimer() {
    timerRunning_ = true;
    if (hwnd_) SetTimer(hwnd_, TIMER_ID, static_cast<UINT>(timerInterval_), nullptr);
}

void Win32MainWindow::StopTimer() {
    timerRunning_ = false;
    if (hwnd_) KillTimer(hwnd_, TIMER_ID);
}

// Setting a running timer again gives it the new interval from now on.
void Win32MainWindow::SetTimerInterval(int milliseconds) {
    timerInterval_ = milliseconds;
    if (timerRunning_ && hwnd_) SetTimer(hwnd_, TIMER_ID, static_cast<UINT>(milliseconds), nullptr);
}

void Win32MainWindow::MessageBox(const std::string& title, const std::string& prompt) {
    MessageBoxW(hwnd_, Wide(prompt).c_str(), Wide(title).c_str(), MB_OK);
}

}  // namespace tarvo
