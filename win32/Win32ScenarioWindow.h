// The Win32 main window as the scenario runner drives it: user actions through the controls' own messages and
// notifications, the timer's tick as the WM_TIMER the system would deliver.
#pragma once

#include "Win32MainWindow.h"
#include "scenario/ScenarioWindow.h"

namespace tarvo {

class Win32ScenarioWindow final : public ScenarioWindow {
public:
    explicit Win32ScenarioWindow(ApiDeclarations& api);

    Win32MainWindow& window() { return window_; }

    frmMain& form() override { return window_.form(); }
    ShownState Window() const override;
    ShownState State(ControlId id) const override;
    std::string ListItem(ControlId id, int index) const override;
    std::optional<ControlId> Focused() const override;
    bool TimerRunning() const override { return window_.timerRunning(); }
    int TimerInterval() const override { return window_.timerInterval(); }
    void Type(ControlId id, const std::string& text) override;
    void Click(ControlId id) override;
    void Choose(ControlId id, int index) override;
    void Close() override;
    void Tick() override;

private:
    Win32MainWindow window_;
};

}  // namespace tarvo
