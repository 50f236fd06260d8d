// The Qt main window as the scenario runner drives it: user actions through the widgets' own signals.
#pragma once

#include "QtMainWindow.h"
#include "scenario/ScenarioWindow.h"

#include <memory>

namespace tarvo {

class QtScenarioWindow final : public ScenarioWindow {
public:
    explicit QtScenarioWindow(ApiDeclarations& api);
    ~QtScenarioWindow() override;

    QtMainWindow& window() { return *window_; }

    frmMain& form() override { return window_->form(); }
    ShownState Window() const override;
    ShownState State(ControlId id) const override;
    std::string ListItem(ControlId id, int index) const override;
    std::optional<ControlId> Focused() const override;
    bool TimerRunning() const override;
    int TimerInterval() const override;
    void Type(ControlId id, const std::string& text) override;
    void Click(ControlId id) override;
    void Choose(ControlId id, int index) override;
    void Close() override;
    void Tick() override;

private:
    std::unique_ptr<QtMainWindow> window_;
};

}  // namespace tarvo
