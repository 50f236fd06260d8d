#include "QtMainWindow.h"

#include "QtReaderView.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace tarvo {
namespace {

constexpr int DESIGN_DPI = 96;  // Qt scales logical pixels to the screen itself

int Px(int twips) { return TwipsToPixels(twips, DESIGN_DPI); }

QString ToQString(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

// Where the window's own families are not installed, fonts with the same metrics keep every caption whole.
void SubstituteMissingFonts() {
    static const bool done = [] {
        const QStringList arialMetrics = {"Liberation Sans", "Arimo", "Arial"};
        QFont::insertSubstitutions("Microsoft Sans Serif", arialMetrics);
        QFont::insertSubstitutions("Arial", arialMetrics);
        return true;
    }();
    (void)done;
}

QFont Font(const FontSpec& design) {
    QFont font(QString::fromLatin1(design.family));
    font.setPointSizeF(design.points);
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    return font;
}

// A control without its caption, which is set once the control is marked for readers.
QWidget* MakeWidget(const ControlSpec& c, QWidget* parent) {
    switch (c.kind) {
        case ControlKind::Frame: {
            auto* frame = new QGroupBox(parent);
            frame->setFocusPolicy(Qt::NoFocus);
            return frame;
        }
        case ControlKind::Label:
        case ControlKind::ValueLabel: {
            auto* label = new QLabel(parent);
            label->setTextFormat(Qt::PlainText);  // device strings are shown as they are, never as markup
            label->setFocusPolicy(Qt::NoFocus);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            if (c.kind == ControlKind::ValueLabel) {  // on the window-background colour
                label->setBackgroundRole(QPalette::Base);
                label->setForegroundRole(QPalette::Text);
                label->setAutoFillBackground(true);
            }
            return label;
        }
        case ControlKind::TextBox: return new QLineEdit(parent);
        case ControlKind::Button: {
            auto* button = new QPushButton(parent);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::DropDownList: {
            auto* list = new QComboBox(parent);
            list->setEditable(false);  // entries can only be picked
            return list;
        }
        case ControlKind::Timer: break;
    }
    return nullptr;
}

}  // namespace

QtMainWindow::QtMainWindow(ApiDeclarations& api, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      form_(*this, api) {
    SubstituteMissingFonts();
    MarkWindowForReaders(this);
    setObjectName("frmMain");
    setWindowTitle(QString::fromUtf8(WINDOW_CAPTION));
    setWindowIcon(QIcon(":/icons/tarvo-pulse-generator.ico"));
    setFont(Font(WINDOW_FONT));
    setFixedSize(Px(CLIENT_WIDTH_TWIPS), Px(CLIENT_HEIGHT_TWIPS));

    for (const ControlSpec& c : ControlTable()) {
        QWidget* parentWidget = c.container ? widget(*c.container) : this;
        if (c.kind == ControlKind::Timer) {
            auto* timer = new QTimer(parentWidget);
            timer->setObjectName(c.name);
            timer->setInterval(POLL_INTERVAL_START_MS);
            controls_[static_cast<int>(c.id)] = timer;
            continue;
        }
        QWidget* w = MakeWidget(c, parentWidget);
        // Before anything, a caption included, makes Qt build the control's accessible interface.
        MarkForReaders(w, c.id);
        controls_[static_cast<int>(c.id)] = w;
        SetText(c.id, c.caption);
        w->setObjectName(c.name);
        w->setGeometry(Px(c.left), Px(c.top), Px(c.width), Px(c.height));
        w->setFont(Font(c.font));
        w->setEnabled(c.enabled);
        if (!c.visible) w->hide();
    }
    // lblSerialNumber shares lblProduct's rectangle and is never written: it lies under everything in its frame,
    // so lblProduct's text stays readable, and the frame's other controls keep the table's (reading) order.
    widget(ControlId::lblSerialNumber)->lower();
    NameForReaders(controls_);

    const std::vector<ControlId>& tabs = TabOrder();
    for (std::size_t i = 1; i < tabs.size(); ++i) setTabOrder(widget(tabs[i - 1]), widget(tabs[i]));

    // Choices made by code run their handlers from frmMain; `activated` comes only from the user, so every
    // choice runs its handler exactly once.
    connect(static_cast<QComboBox*>(widget(ControlId::SerNo)), &QComboBox::activated, this, [this] { form_.SerNo_Click(); });
    connect(static_cast<QComboBox*>(widget(ControlId::Vout)), &QComboBox::activated, this, [this] { form_.Vout_Click(); });
    connect(static_cast<QPushButton*>(widget(ControlId::SetFout)), &QPushButton::clicked, this, [this] { form_.SetFout_Click(); });
    connect(static_cast<QPushButton*>(widget(ControlId::Factory)), &QPushButton::clicked, this, [this] { form_.Factory_Click(); });
    connect(timer(), &QTimer::timeout, this, [this] { form_.Timer_Timer(); });
}

QtMainWindow::~QtMainWindow() = default;

QWidget* QtMainWindow::widget(ControlId id) const { return static_cast<QWidget*>(controls_[static_cast<int>(id)]); }

QTimer* QtMainWindow::timer() const { return static_cast<QTimer*>(controls_[static_cast<int>(ControlId::Timer)]); }

void QtMainWindow::closeEvent(QCloseEvent* event) {
    form_.Form_Unload();
    event->accept();
}

void QtMainWindow::ShowForm() { show(); }

// Each setter leaves a control alone when it already shows what it is given, so a refresh of a window that is
// already cleared and disabled changes nothing and draws nothing.
void QtMainWindow::SetText(ControlId id, const std::string& text) {
    const QString value = ToQString(text);
    QWidget* w = widget(id);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text() == value) return;
        label->setText(value);
        if (Designed(id).kind == ControlKind::ValueLabel) ShowValueToReaders(label, value);
    } else if (auto* box = qobject_cast<QLineEdit*>(w)) {
        if (box->text() != value) box->setText(value);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        if (button->text() != value) button->setText(value);
    } else if (auto* frame = qobject_cast<QGroupBox*>(w)) {
        if (frame->title() != value) frame->setTitle(value);
    }
}

std::string QtMainWindow::Text(ControlId id) const {
    QWidget* w = widget(id);
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    if (auto* box = qobject_cast<QLineEdit*>(w)) return box->text().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
    if (auto* frame = qobject_cast<QGroupBox*>(w)) return frame->title().toStdString();
    if (auto* list = qobject_cast<QComboBox*>(w)) return list->currentIndex() < 0 ? std::string() : list->currentText().toStdString();
    return {};
}

void QtMainWindow::SetEnabled(ControlId id, bool enabled) {
    QWidget* w = widget(id);
    if (w->testAttribute(Qt::WA_ForceDisabled) == !enabled) return;
    w->setEnabled(enabled);
}

void QtMainWindow::SetFocus(ControlId id) { widget(id)->setFocus(); }

void QtMainWindow::ClearList(ControlId id) {
    auto* list = static_cast<QComboBox*>(widget(id));
    if (list->count() != 0) list->clear();
}

void QtMainWindow::AppendListItems(ControlId id, std::span<const std::string> texts) {
    // The amplitude list is filled with the same texts on every refresh: they are converted once.
    if (texts.data() != appendedTexts_ || texts.size() != static_cast<std::size_t>(appendedItems_.size())) {
        appendedItems_.clear();
        appendedItems_.reserve(static_cast<qsizetype>(texts.size()));
        for (const std::string& text : texts) appendedItems_.append(ToQString(text));
        appendedTexts_ = texts.data();
    }
    static_cast<QComboBox*>(widget(id))->addItems(appendedItems_);
}

void QtMainWindow::InsertListItem(ControlId id, int index, const std::string& text) {
    static_cast<QComboBox*>(widget(id))->insertItem(index, ToQString(text));
}

void QtMainWindow::SetListIndex(ControlId id, int index) { static_cast<QComboBox*>(widget(id))->setCurrentIndex(index); }

int QtMainWindow::ListIndex(ControlId id) const { return static_cast<QComboBox*>(widget(id))->currentIndex(); }

int QtMainWindow::ListCount(ControlId id) const { return static_cast<QComboBox*>(widget(id))->count(); }

void QtMainWindow::StartTimer() { timer()->start(); }

void QtMainWindow::StopTimer() { timer()->stop(); }

void QtMainWindow::SetTimerInterval(int milliseconds) { timer()->setInterval(milliseconds); }

void QtMainWindow::MessageBox(const std::string& title, const std::string& prompt) {
    QMessageBox box(QMessageBox::NoIcon, ToQString(title), ToQString(prompt), QMessageBox::Ok, this);
    box.exec();
}

}  // namespace tarvo
