// The main window in native Win32 controls: makes the controls of the control table at the monitor's DPI,
// shows, reads and writes them for the window's behaviour frmMain, and calls its handlers on the controls'
// notifications and the timer's ticks.
#pragma once

#include "window/frmMain.h"

#include <windows.h>
// The view's MessageBox is not the ANSI/wide macro of the same name.
#undef MessageBox

#include "Win32ReaderView.h"

#include <array>
#include <string>
#include <vector>

namespace tarvo {

class Win32MainWindow final : private FormView {
public:
    // Creates the window and its controls, hidden; Form_Load shows it. When closing should end the program's
    // message loop, quitOnClose posts WM_QUIT once the window has closed.
    Win32MainWindow(ApiDeclarations& api, HINSTANCE instance, bool quitOnClose);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    frmMain& form() { return form_; }

    HWND hwnd() const { return hwnd_; }
    HWND control(ControlId id) const { return controls_[static_cast<int>(id)]; }
    bool ownEnabled(ControlId id) const { return enabled_[static_cast<int>(id)]; }
    // What a control shows: its text (a list's chosen entry), and a list's chosen entry and count.
    std::string Text(ControlId id) const override;
    int ListIndex(ControlId id) const override;
    int ListCount(ControlId id) const override;
    // The text of a list's entry; empty when it has none at that index.
    std::string ListItemText(ControlId id, int index) const;
    bool timerRunning() const { return timerRunning_; }
    int timerInterval() const { return timerInterval_; }
    int dpi() const { return dpi_; }

    // The message loop of a program whose only window this is: keyboard navigation between the controls, and
    // the window's messages, until the window has closed. Returns the exit code.
    int RunMessageLoop();

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int notification, HWND from);

    void CreateControls(HINSTANCE instance);
    void Layout(int dpi);  // positions, sizes and fonts at a screen density
    HFONT FontFor(const FontSpec& design, int dpi);
    void ApplyEnabled(ControlId id);
    void FitListHeight(HWND list, int height);

    // FormView
    void ShowForm() override;
    void SetText(ControlId id, const std::string& text) override;
    void SetEnabled(ControlId id, bool enabled) override;
    void SetFocus(ControlId id) override;
    void ClearList(ControlId id) override;
    void AppendListItems(ControlId id, std::span<const std::string> texts) override;
    void InsertListItem(ControlId id, int index, const std::string& text) override;
    void SetListIndex(ControlId id, int index) override;
    void StartTimer() override;
    void StopTimer() override;
    void SetTimerInterval(int milliseconds) override;
    void MessageBox(const std::string& title, const std::string& prompt) override;

    struct Font {
        FontSpec design;
        int dpi;
        HFONT handle;
    };

    HWND hwnd_ = nullptr;
    std::array<HWND, CONTROL_COUNT> controls_{};
    std::array<bool, CONTROL_COUNT> enabled_{};
    std::vector<Font> fonts_;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    bool timerRunning_ = false;
    int timerInterval_ = POLL_INTERVAL_START_MS;
    int dpi_ = 96;
    bool quitOnClose_;
    ReaderAnnotations readers_;
    frmMain form_;
};

// UTF-8 and UTF-16 for the wide Win32 calls.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

}  // namespace tarvo
