#include "frmMain.h"

#include "device/HidString.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"
#include "protocol/SettingsProtocol.h"
#include "protocol/VersionText.h"

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
#include <array>
#include <cmath>
#include <vector>

namespace tarvo {
namespace {

constexpr int TWIPS_PER_PIXEL = 15;  // at 96 dots per inch
constexpr int CLIENT_WIDTH_TWIPS = 6090;
constexpr int CLIENT_HEIGHT_TWIPS = 5220;

const char* const SANS = "Microsoft Sans Serif";
const char* const ARIAL = "Arial";

int Px(int twips) { return static_cast<int>(std::lround(static_cast<double>(twips) / TWIPS_PER_PIXEL)); }

// Where the window's own families are not installed, fonts with the same metrics keep every caption whole.
void SubstituteMissingFonts() {
    static const bool done = [] {
        const QStringList arialMetrics = {"Liberation Sans", "Arimo", "Arial"};
        QFont::insertSubstitutions(QString::fromLatin1(SANS), arialMetrics);
        QFont::insertSubstitutions(QString::fromLatin1(ARIAL), arialMetrics);
        return true;
    }();
    (void)done;
}

QFont Font(const char* family, double points) {
    QFont font(QString::fromLatin1(family));
    font.setPointSizeF(points);
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    return font;
}

template <typename W>
W* Place(W* widget, const char* name, int left, int top, int width, int height, const QFont& font) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
    widget->setFont(font);
    return widget;
}

QGroupBox* Frame(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h) {
    auto* frame = Place(new QGroupBox(QString::fromLatin1(caption), parent), name, l, t, w, h, Font(SANS, 9.75));
    frame->setFocusPolicy(Qt::NoFocus);
    return frame;
}

QLabel* Label(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h, const QFont& font) {
    auto* label = Place(new QLabel(QString::fromLatin1(caption), parent), name, l, t, w, h, font);
    label->setTextFormat(Qt::PlainText);  // device strings are shown as they are, never as markup
    label->setFocusPolicy(Qt::NoFocus);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// A label that shows a value read from the device, on the window-background colour.
QLabel* ValueLabel(QWidget* parent, const char* name, int l, int t, int w, int h, const QFont& font) {
    QLabel* label = Label(parent, name, "", l, t, w, h, font);
    label->setBackgroundRole(QPalette::Base);
    label->setForegroundRole(QPalette::Text);
    label->setAutoFillBackground(true);
    return label;
}

QComboBox* List(QWidget* parent, const char* name, int l, int t, int w, int h, const QFont& font) {
    auto* list = Place(new QComboBox(parent), name, l, t, w, h, font);
    list->setEditable(false);  // entries can only be picked
    return list;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption, int l, int t, int w, int h) {
    auto* button = Place(new QPushButton(QString::fromLatin1(caption), parent), name, l, t, w, h, Font(SANS, 12));
    button->setAutoDefault(false);
    return button;
}

QLineEdit* TextBox(QWidget* parent, const char* name, int l, int t, int w, int h) {
    return Place(new QLineEdit(parent), name, l, t, w, h, Font(SANS, 12));
}

const QStringList& AmplitudeEntries() {
    static const QStringList entries = [] {
        QStringList list;
        list.reserve(VOUT_ENTRY_COUNT);
        for (const std::string& text : AmplitudeTexts()) list.append(QString::fromStdString(text));
        return list;
    }();
    return entries;
}

}  // namespace

const QStringList& ControlNames() {
    static const QStringList names = {
        "Frame1",   "Label5", "lblProduct", "lblSerialNumber", "Label4",     "lblManuf", "Label2",
        "lblVersion", "Label3", "SerNo",     "Timer",           "Frame3",     "Foutput",  "SetFout",
        "Vout",     "Label6", "Label7",     "Factory",         "trig_frame", "ext_trig_dir", "Label9",
        "ext_sync_freq", "SetFsync", "polarity", "Label8"};
    return names;
}

frmMain::frmMain(ApiDeclarations& api, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      api_(api) {
    SubstituteMissingFonts();
    setObjectName("frmMain");
    setWindowTitle("Tarvo Pulse Generator");
    setWindowIcon(QIcon(":/icons/tarvo-pulse-generator.ico"));
    setFont(Font(SANS, 8.25));
    setFixedSize(Px(CLIENT_WIDTH_TWIPS), Px(CLIENT_HEIGHT_TWIPS));

    const QFont small = Font(SANS, 9.75);
    const QFont large = Font(SANS, 12);

    Frame1 = Frame(this, "Frame1", "Device details", 120, 100, 5800, 1935);
    Label5 = Label(Frame1, "Label5", "Product name", 240, 360, 1215, 285, small);
    // lblSerialNumber shares lblProduct's rectangle and is never written: it is made first so that lblProduct
    // lies above it and its text stays readable.
    lblSerialNumber = ValueLabel(Frame1, "lblSerialNumber", 1680, 360, 3300, 330, small);
    lblProduct = ValueLabel(Frame1, "lblProduct", 1680, 360, 3300, 330, Font(ARIAL, 9.75));
    Label4 = Label(Frame1, "Label4", "Made by", 240, 720, 1215, 285, small);
    lblManuf = ValueLabel(Frame1, "lblManuf", 1680, 720, 3300, 330, small);
    Label2 = Label(Frame1, "Label2", "Version", 240, 1080, 1455, 285, small);
    lblVersion = ValueLabel(Frame1, "lblVersion", 1680, 1080, 3300, 330, small);
    Label3 = Label(Frame1, "Label3", "Serial Number", 240, 1440, 1815, 285, small);
    SerNo = List(Frame1, "SerNo", 1700, 1380, 2055, 360, small);
    Timer = new QTimer(Frame1);
    Timer->setObjectName("Timer");
    Timer->setInterval(POLL_INTERVAL_START_MS);

    Frame3 = Frame(this, "Frame3", "Pulse output", 105, 2300, 5800, 1800);
    Foutput = TextBox(Frame3, "Foutput", 250, 400, 2000, 420);
    SetFout = Button(Frame3, "SetFout", "Pulse frequency, Hz", 2500, 400, 3045, 420);
    Vout = List(Frame3, "Vout", 250, 1100, 2000, 420, large);
    Label6 = Label(Frame3, "Label6", "Amplitude into 50R load, mV", 2505, 1140, 3200, 420, large);
    Label7 = Label(Frame3, "Label7", "Deemphasis, %", 1500, 2220, 2415, 315, small);

    Factory = Button(this, "Factory", "Restore default settings", 1155, 4410, 3735, 495);

    // The trigger/sync group starts 120 twips below the client area: it is never seen and never used.
    trig_frame = Frame(this, "trig_frame", "External trigger/sync", 120, 5340, 5800, 2500);
    ext_trig_dir = List(trig_frame, "ext_trig_dir", 250, 400, 2000, 420, large);
    Label9 = Label(trig_frame, "Label9", "Trigger/sync function", 2505, 440, 2700, 420, large);
    ext_sync_freq = TextBox(trig_frame, "ext_sync_freq", 250, 1100, 2000, 420);
    SetFsync = Button(trig_frame, "SetFsync", "Sync input frequency, Hz", 2500, 1100, 3045, 420);
    polarity = List(trig_frame, "polarity", 250, 1800, 2000, 420, large);
    Label8 = Label(trig_frame, "Label8", "Polarity", 2500, 1840, 2700, 420, large);

    // Initial states.
    Frame1->setEnabled(false);
    SerNo->setEnabled(false);
    Frame3->setEnabled(false);
    Vout->setEnabled(false);
    Label6->setEnabled(false);
    Label7->setEnabled(false);
    Label7->hide();
    for (QWidget* w : std::initializer_list<QWidget*>{trig_frame, ext_trig_dir, Label9, ext_sync_freq, SetFsync,
                                                      polarity, Label8})
        w->setEnabled(false);

    // Keyboard order of the controls that take the focus.
    const std::array<QWidget*, 9> tabOrder = {Vout,    Factory, SerNo,    ext_trig_dir, ext_sync_freq,
                                              SetFout, Foutput, polarity, SetFsync};
    for (std::size_t i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    messageBox = [this](const QString& title, const QString& prompt) {
        QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, this);
        box.exec();
    };

    // Choices made by code call the handlers themselves (Select, SelectAmplitude); `activated` comes only from
    // the user, so every choice runs its handler exactly once.
    connect(SerNo, &QComboBox::activated, this, [this] { SerNo_Click(); });
    connect(Vout, &QComboBox::activated, this, [this] { Vout_Click(); });
    connect(SetFout, &QPushButton::clicked, this, [this] { SetFout_Click(); });
    connect(Factory, &QPushButton::clicked, this, [this] { Factory_Click(); });
    connect(Timer, &QTimer::timeout, this, [this] { Timer_Timer(); });
}

frmMain::~frmMain() = default;

DeviceContext frmMain::context() { return DeviceContext{session_, api_, *this}; }

void frmMain::Scan_USB_devices() { tarvo::Scan_USB_devices(context()); }

bool frmMain::FindTheHid() { return tarvo::FindTheHid(context()); }

// --- Start-up and shut-down ---

void frmMain::Form_Load() {
    session_.RefreshComplete = false;
    session_.SettingsLoaded = false;
    show();
    Scan_USB_devices();
    session_.DeviceAttached = FindTheHid();
    RefreshFromDevice();
    Timer->start();
}

void frmMain::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void frmMain::Form_Unload() {
    Timer->stop();
    session_.SettingsLoaded = false;
    if (session_.DeviceAttached) CloseDevice();
}

// --- Polling and switching ---

void frmMain::Timer_Timer() { PollDevice(); }

void frmMain::PollDevice() {
    if (session_.DeviceAttached) {
        // Large enough for the report ID and 64 data bytes, or for a longer input report.
        const std::uint32_t length = session_.Caps.InputReportByteLength;
        std::vector<std::uint8_t> probe(std::max<std::size_t>(POLL_READ_BUFFER_BYTES, length), 0);
        std::uint32_t bytesRead = 0;
        session_.LastResult = api_.ReadFile(session_.ReadHandle, probe.data(), length, &bytesRead,
                                            &session_.ReadOverlapped);
        if (session_.LastResult != 0) {
            Timer->setInterval(POLL_INTERVAL_ATTACHED_MS);
            return;
        }
        session_.DeviceAttached = false;
        CloseDevice();
        Timer->setInterval(POLL_INTERVAL_SEARCH_MS);
        session_.RefreshComplete = false;
    }
    Search();
}

void frmMain::Search() {
    session_.RefreshComplete = false;
    Scan_USB_devices();
    session_.DeviceAttached = FindTheHid();
    RefreshFromDevice();
}

// Closes the feature-report handle, then the input-report handle. A handle that never opened is not closed.
void frmMain::CloseDevice() {
    for (Handle* h : {&session_.DeviceHandle, &session_.ReadHandle}) {
        if (*h == INVALID_HANDLE_VALUE) continue;
        session_.LastResult = api_.CloseHandle(*h);
        *h = INVALID_HANDLE_VALUE;
    }
}

void frmMain::SerNo_Click() {
    if (!session_.SettingsLoaded) return;
    Timer->stop();
    if (session_.DeviceAttached) {
        session_.DeviceAttached = false;
        CloseDevice();
        Timer->setInterval(POLL_INTERVAL_SEARCH_MS);
        session_.RefreshComplete = false;
    }
    session_.RefreshComplete = false;
    session_.DeviceAttached = FindTheHid();
    RefreshFromDevice();
    Timer->start();
}

// --- The serial-number list for the walks ---

void frmMain::Clear() { SerNo->clear(); }

void frmMain::SetEnabled(bool enabled) { SerNo->setEnabled(enabled); }

void frmMain::Insert(int index, const std::string& text) { SerNo->insertItem(index, QString::fromStdString(text)); }

void frmMain::Select(int index) {
    SerNo->setCurrentIndex(index);
    SerNo_Click();
}

std::string frmMain::SelectedText() const { return SerNo->currentIndex() < 0 ? std::string() : SerNo->currentText().toStdString(); }

// --- Window refresh ---

void frmMain::RefreshFromDevice() {
    session_.RefreshComplete = false;

    lblManuf->clear();
    lblProduct->clear();
    lblVersion->clear();
    for (QComboBox* list : {Vout, polarity, ext_trig_dir}) {
        list->clear();
        list->setEnabled(false);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{Factory, Frame3, trig_frame, SetFout, Label6, Label7, Label8,
                                                      Label9, SetFsync})
        w->setEnabled(false);
    for (QLineEdit* box : {ext_sync_freq, Foutput}) {
        box->setEnabled(false);
        box->clear();
    }

    if (!session_.DeviceAttached) return;

    std::array<std::uint8_t, STRING_BUFFER_BYTES> text{};  // shared by both strings; bytes 100 on stay zero
    // The strings are read on the input-report handle. When that handle failed to open, the reads count as
    // failed without being made on the invalid handle; the next poll drops the device.
    using StringRead = BOOL (ApiDeclarations::*)(Handle, std::uint8_t*, std::uint32_t);
    auto readString = [&](StringRead read, QLabel* label) {
        session_.LastResult = session_.ReadHandle == INVALID_HANDLE_VALUE
                                  ? 0
                                  : (api_.*read)(session_.ReadHandle, text.data(), STRING_READ_LENGTH);
        if (session_.LastResult == 0) return false;
        label->setText(' ' + QString::fromStdString(HidStringToText(api_, text.data(), text.size())));
        return true;
    };
    if (readString(&ApiDeclarations::HidD_GetManufacturerString, lblManuf))
        lblVersion->setText(' ' + QString::fromStdString(VersionText(session_.Attributes.VersionNumber)));
    readString(&ApiDeclarations::HidD_GetProductString, lblProduct);

    for (QWidget* w : std::initializer_list<QWidget*>{Frame1, Foutput, Vout, Factory, Frame3, SetFout, Label6, Label7})
        w->setEnabled(true);

    if (const std::optional<DeviceStatus> status = ReadStatus(session_, api_)) {
        FillAmplitudeList();
        Foutput->setText(QString::fromStdString(HertzText(status->frequencyHz)));
        SelectAmplitude(status->amplitudeIndex);
        session_.SettingsLoaded = true;
    }
    session_.RefreshComplete = true;
}

void frmMain::FillAmplitudeList() {
    Vout->clear();
    Vout->addItems(AmplitudeEntries());
    Vout->setCurrentIndex(-1);
}

// A choice made by code: the list's click handler runs before this returns.
void frmMain::SelectAmplitude(int index) {
    Vout->setCurrentIndex(index);
    Vout_Click();
}

// --- Settings commands ---

void frmMain::SetFout_Click() {
    const auto value = [this] { return ParseFrequencyText(Foutput->text().toStdString()); };
    const std::optional<double> v = value();
    if (!v) {
        messageBox("Bad input", "Enter pulse frequency in Hz");
        Foutput->setFocus();
        return;
    }
    if (*v < FOUT_MIN_HZ || *v > FOUT_MAX_HZ) {
        messageBox("Bad data range", "Pulse frequency is between 25kHz and 350MHz");
        if (const auto now = value(); now && *now < FOUT_MIN_HZ) Foutput->setText(QString::number(FOUT_MIN_HZ));
        if (const auto now = value(); now && *now > FOUT_MAX_HZ) Foutput->setText(QString::number(FOUT_MAX_HZ));
        Foutput->setFocus();
        return;
    }
    const auto hertz = static_cast<std::int32_t>(RoundHalfUp(*v));
    Foutput->setText(QString::fromStdString(HertzText(hertz)));
    SendFrequency(session_, api_, Foutput->text().toInt());  // sent only while the window is in step
}

void frmMain::Vout_Click() {
    // An empty list has no index to send.
    const int index = Vout->currentIndex();
    if (index >= 0) SendAmplitude(session_, api_, static_cast<std::int16_t>(index));
}

void frmMain::Factory_Click() {
    Foutput->setText(QString::fromStdString(HertzText(FOUT_DEFAULT_HZ)));
    SetFout_Click();
    // After a failed status read the list is empty: there is no default entry to choose or send.
    if (Vout->count() <= VOUT_DEFAULT_INDEX) return;
    SelectAmplitude(VOUT_DEFAULT_INDEX);
    Vout_Click();
}

}  // namespace tarvo
