// The utility's one window, as behaviour: start-up and shut-down, polling and switching, the refresh and the
// three settings commands, over the session of the open pulse generator. No toolkit appears here: a toolkit's
// window (FormView) makes the controls and calls these handlers on their events. Every handler runs to completion
// on the window's thread.
#pragma once

#include "FormView.h"
#include "device/ApiDeclarations.h"
#include "device/DeviceFinder.h"
#include "device/DeviceSession.h"
#include "device/SerialNumberList.h"

#include <functional>
#include <string>

namespace tarvo {

// The window is in step with an open device: a status report has been shown since the last scan, the device is
// open, and no refresh is under way. The window sends commands only then.
inline bool CommandsAllowed(const DeviceSession& s) {
    return s.SettingsLoaded && s.DeviceAttached && s.RefreshComplete;
}

inline constexpr int POLL_INTERVAL_START_MS = 50;
inline constexpr int POLL_INTERVAL_ATTACHED_MS = 500;
inline constexpr int POLL_INTERVAL_SEARCH_MS = 250;
inline constexpr int POLL_READ_BUFFER_BYTES = 65;

class frmMain final : private SerialNumberList {
public:
    frmMain(FormView& view, ApiDeclarations& api);

    // The event table: the toolkit window calls each handler on its event.
    void Form_Load();    // load: shows the window, finds and opens a pulse generator, fills the window, starts the timer
    void Form_Unload();  // the window closes; it never refuses
    void SerNo_Click();  // an entry of SerNo is chosen by the user
    void Timer_Timer();
    void SetFout_Click();
    void Vout_Click();   // an entry of Vout is chosen by the user
    void Factory_Click();

    // The window's public operations.
    void Scan_USB_devices();
    bool FindTheHid();

    // Shows a modal message box with an OK button and no icon. Replaceable, so tests and the scenario runner
    // see every message without a dialog; the default is the view's box.
    std::function<void(const std::string& title, const std::string& prompt)> messageBox;

    const DeviceSession& session() const { return session_; }

private:
    friend struct WindowProbe;  // benchmarks reach the private procedures through this one door

    void RefreshFromDevice();
    void FillAmplitudeList();
    void PollDevice();
    void Search();
    void SelectAmplitude(int index);
    void ShowMessage(const std::string& title, const std::string& prompt);
    DeviceContext context();

    // SerialNumberList over SerNo, for the device walks.
    void Clear() override;
    void SetEnabled(bool enabled) override;
    void Insert(int index, const std::string& text) override;
    void Select(int index) override;
    std::string SelectedText() const override;

    FormView& view_;
    ApiDeclarations& api_;
    DeviceSession session_;
    // A message box runs its own message loop, in which the timer keeps ticking: those ticks do nothing.
    bool inMessageBox_ = false;
};

}  // namespace tarvo
