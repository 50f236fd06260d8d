// The main window in Qt Widgets (Linux, macOS): makes the controls of the control table, shows, reads and
// writes them for the window's behaviour frmMain, and calls its handlers on the controls' events.
#pragma once

#include "window/frmMain.h"

#include <QStringList>
#include <QWidget>

#include <array>

class QTimer;

namespace tarvo {

class QtMainWindow final : public QWidget, private FormView {
    Q_OBJECT

public:
    explicit QtMainWindow(ApiDeclarations& api, QWidget* parent = nullptr);
    ~QtMainWindow() override;

    frmMain& form() { return form_; }
    const frmMain& form() const { return form_; }

    // The widget of a control (for the timer, the QTimer), for tests and tools.
    QObject* control(ControlId id) const { return controls_[static_cast<int>(id)]; }
    QTimer* timer() const;

    // What a control shows: its text (a list's chosen entry), and a list's chosen entry and count.
    std::string Text(ControlId id) const override;
    int ListIndex(ControlId id) const override;
    int ListCount(ControlId id) const override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
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

    QWidget* widget(ControlId id) const;

    std::array<QObject*, CONTROL_COUNT> controls_{};
    const std::string* appendedTexts_ = nullptr;  // the texts last appended to a list, and their conversion
    QStringList appendedItems_;
    frmMain form_;
};

}  // namespace tarvo
