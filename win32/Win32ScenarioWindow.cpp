#include "Win32ScenarioWindow.h"

namespace tarvo {
namespace {

std::string WindowText(HWND h) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
    return Utf8(text);
}

bool OwnVisible(HWND h) { return (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) != 0; }

}  // namespace

// The runner's window is never the program's only one: closing it ends no message loop.
Win32ScenarioWindow::Win32ScenarioWindow(ApiDeclarations& api) : window_(api, GetModuleHandleW(nullptr), false) {}

ShownState Win32ScenarioWindow::Window() const {
    HWND h = window_.hwnd();
    return ShownState{IsWindowEnabled(h) != FALSE, OwnVisible(h), WindowText(h)};
}

ShownState Win32ScenarioWindow::State(ControlId id) const {
    HWND h = window_.control(id);
    ShownState state{window_.ownEnabled(id), OwnVisible(h), {}};
    state.text = window_.Text(id);
    if (Designed(id).kind == ControlKind::DropDownList) {
        state.count = window_.ListCount(id);
        state.chosen = window_.ListIndex(id);
    }
    return state;
}

std::string Win32ScenarioWindow::ListItem(ControlId id, int index) const { return window_.ListItemText(id, index); }

std::optional<ControlId> Win32ScenarioWindow::Focused() const {
    const HWND focused = GetFocus();
    for (const ControlSpec& c : ControlTable())
        if (focused && window_.control(c.id) == focused) return c.id;
    return std::nullopt;
}

void Win32ScenarioWindow::Type(ControlId id, const std::string& text) {
    HWND h = window_.control(id);
    SetFocus(h);  // a user types into the box that has the focus
    SetWindowTextW(h, Wide(text).c_str());
}

void Win32ScenarioWindow::Click(ControlId id) {
    HWND h = window_.control(id);
    SetFocus(h);  // a mouse click focuses the button first
    SendMessageW(h, BM_CLICK, 0, 0);
}

// What a user's pick from the dropped-down list does: the list takes the focus, the entry becomes current,
// and the list tells its window that the pick was accepted.
void Win32ScenarioWindow::Choose(ControlId id, int index) {
    HWND h = window_.control(id);
    SetFocus(h);
    SendMessageW(h, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(window_.hwnd(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(h), CBN_SELENDOK), reinterpret_cast<LPARAM>(h));
}

void Win32ScenarioWindow::Close() { SendMessageW(window_.hwnd(), WM_CLOSE, 0, 0); }

void Win32ScenarioWindow::Tick() { SendMessageW(window_.hwnd(), WM_TIMER, 1, 0); }

}  // namespace tarvo
