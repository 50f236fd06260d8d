#include "QtScenarioWindow.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QTimer>

namespace tarvo {
namespace {

ShownState OwnState(const QWidget* w) {
    ShownState state;
    state.enabled = !w->testAttribute(Qt::WA_ForceDisabled);
    state.visible = !(w->testAttribute(Qt::WA_WState_ExplicitShowHide) && w->testAttribute(Qt::WA_WState_Hidden));
    return state;
}

}  // namespace

QtScenarioWindow::QtScenarioWindow(ApiDeclarations& api) : window_(std::make_unique<QtMainWindow>(api)) {}

QtScenarioWindow::~QtScenarioWindow() = default;

ShownState QtScenarioWindow::Window() const {
    ShownState state = OwnState(window_.get());
    state.text = window_->windowTitle().toStdString();
    return state;
}

ShownState QtScenarioWindow::State(ControlId id) const {
    ShownState state = OwnState(static_cast<QWidget*>(window_->control(id)));
    state.text = window_->Text(id);
    if (Designed(id).kind == ControlKind::DropDownList) {
        state.count = window_->ListCount(id);
        state.chosen = window_->ListIndex(id);
    }
    return state;
}

std::string QtScenarioWindow::ListItem(ControlId id, int index) const {
    return static_cast<QComboBox*>(window_->control(id))->itemText(index).toStdString();
}

std::optional<ControlId> QtScenarioWindow::Focused() const {
    const QWidget* focused = window_->focusWidget();
    if (!focused) return std::nullopt;
    return ControlByName(focused->objectName().toStdString());
}

bool QtScenarioWindow::TimerRunning() const { return window_->timer()->isActive(); }

int QtScenarioWindow::TimerInterval() const { return window_->timer()->interval(); }

void QtScenarioWindow::Type(ControlId id, const std::string& text) {
    auto* box = static_cast<QLineEdit*>(window_->control(id));
    box->setFocus(Qt::MouseFocusReason);  // a user types into the box that has the focus
    box->setText(QString::fromStdString(text));
}

void QtScenarioWindow::Click(ControlId id) {
    auto* button = static_cast<QAbstractButton*>(window_->control(id));
    button->setFocus(Qt::MouseFocusReason);  // a mouse click focuses the button first
    button->click();
}

// What a user's pick does: the list takes the focus, the entry becomes current, then the list reports the
// activation.
void QtScenarioWindow::Choose(ControlId id, int index) {
    auto* list = static_cast<QComboBox*>(window_->control(id));
    list->setFocus(Qt::MouseFocusReason);
    list->setCurrentIndex(index);
    emit list->activated(index);
}

void QtScenarioWindow::Close() { window_->close(); }

void QtScenarioWindow::Tick() { QMetaObject::invokeMethod(window_->timer(), "timeout", Qt::DirectConnection); }

}  // namespace tarvo
