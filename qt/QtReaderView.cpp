#include "QtReaderView.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QVariant>

#include <optional>

namespace tarvo {
namespace {

// The control a widget of the window is; other objects do not carry it.
constexpr const char* CONTROL_PROPERTY = "tarvoControl";
// Carried by the window itself.
constexpr const char* WINDOW_PROPERTY = "tarvoWindow";

QAccessible::Role RoleOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Frame: return QAccessible::Grouping;
        case ControlKind::Label:
        case ControlKind::ValueLabel: return QAccessible::StaticText;
        case ControlKind::TextBox: return QAccessible::EditableText;
        case ControlKind::Button: return QAccessible::Button;
        case ControlKind::DropDownList: return QAccessible::ComboBox;
        case ControlKind::Timer: break;
    }
    return QAccessible::NoRole;
}

// A control a reader passes over: its role and name as the table gives them, and invisible or off screen, so
// that a reader, which presents what is showing, skips it and its contents.
class PassedOver final : public QAccessibleWidget {
public:
    PassedOver(QWidget* control, ControlId id) : QAccessibleWidget(control, RoleOf(Designed(id).kind)), id_(id) {}

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? QString::fromUtf8(AccessibleName(id_)) : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (PresenceFor(id_) == ReaderPresence::Hidden)
            s.invisible = true;
        else
            s.offscreen = true;
        return s;
    }

private:
    ControlId id_;
};

// A drop-down list named by its label. Qt's own interface on Linux gives a combo box's chosen entry as its name,
// which readers and automation tools take for what the list is. The rest is as Qt's: the entry list is its one
// child, the chosen entry its value (and, for readers, its description), and its action opens or closes the list.
class NamedList final : public QAccessibleWidget {
public:
    explicit NamedList(QComboBox* list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? list()->currentText() : QAccessibleWidget::text(t);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(list()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && child->object() == list()->view() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = list()->view()->isVisible();
        return s;
    }
    QStringList actionNames() const override {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action != showMenuAction() && action != pressAction()) return QAccessibleWidget::doAction(action);
        if (!list()->isEnabled()) return;
        if (list()->view()->isVisible())
            list()->hidePopup();
        else
            list()->showPopup();
    }

private:
    QComboBox* list() const { return static_cast<QComboBox*>(widget()); }
};

// Asked for every object's interface, most derived class first; nothing for what is not one of the window's
// controls or is served by Qt's own interface.
QAccessibleInterface* InterfaceFor(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType()) return nullptr;
    // A plain widget as a window is Qt's "client"; readers present windows by the window role.
    if (object->property(WINDOW_PROPERTY).isValid()) return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    const QVariant marked = object->property(CONTROL_PROPERTY);
    if (!marked.isValid()) return nullptr;
    const auto id = static_cast<ControlId>(marked.toInt());
    auto* control = static_cast<QWidget*>(object);
    if (PresenceFor(id) != ReaderPresence::Shown) return new PassedOver(control, id);
    if (className == QLatin1String("QComboBox")) return new NamedList(static_cast<QComboBox*>(control));
    return nullptr;
}

void InstallInterfaces() {
    static const bool installed = [] {
        QAccessible::installFactory(InterfaceFor);
        return true;
    }();
    (void)installed;
}

}  // namespace

void MarkWindowForReaders(QWidget* window) {
    InstallInterfaces();
    window->setProperty(WINDOW_PROPERTY, true);
}

void MarkForReaders(QWidget* control, ControlId id) {
    InstallInterfaces();
    control->setProperty(CONTROL_PROPERTY, static_cast<int>(id));
}

void NameForReaders(const std::array<QObject*, CONTROL_COUNT>& controls) {
    for (const ControlSpec& c : ControlTable()) {
        const std::optional<ControlId> namer = NamedBy(c.id);
        if (!namer) continue;  // frames, labels and buttons are named by their own captions
        auto* control = static_cast<QWidget*>(controls[static_cast<int>(c.id)]);
        control->setAccessibleName(QString::fromUtf8(AccessibleName(c.id)));
        // The label-for and labelled-by relations; no caption has a mnemonic, so a buddy adds no shortcut.
        if (auto* label = qobject_cast<QLabel*>(controls[static_cast<int>(*namer)])) label->setBuddy(control);
        // A list's chosen entry, which Qt 6.4 offers readers nowhere else once the list has a name of its own.
        if (auto* list = qobject_cast<QComboBox*>(control))
            QObject::connect(list, &QComboBox::currentTextChanged, list,
                             [list](const QString& text) { ShowValueToReaders(list, text); });
    }
}

void ShowValueToReaders(QWidget* control, const QString& value) { control->setAccessibleDescription(value); }

}  // namespace tarvo
