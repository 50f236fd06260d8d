#include "SimulatorWindow.h"

#include "device/DeviceFinder.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/GeneratorFirmware.h"
#include "protocol/VersionText.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSpinBox>
#include <QTime>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <utility>

namespace tarvo {
namespace {

// Columns of the generator list.
enum GeneratorColumn { G_SERIAL, G_MAKER, G_PRODUCT, G_VERSION, G_FREQUENCY, G_AMPLITUDE, G_INPUT, G_FAILING };
// Columns of the log.
enum LogColumn { L_TIME, L_SERIAL, L_REPORT, L_VALUE, L_RESULT, L_BYTES };

constexpr int NAME_ROLE = Qt::UserRole;

std::u16string ToU16(const QString& text) { return text.toStdU16String(); }
QString FromU16(const std::u16string& text) { return QString::fromStdU16String(text); }

QString Millivolts(int index) {
    if (index < 0 || index >= VOUT_ENTRY_COUNT) return QString("code %1 (outside the list)").arg(index);
    return QString("%1 mV").arg(AmplitudeMillivolts(index));
}

QTreeWidget* Tree(QWidget* parent, const char* name, const QStringList& headers) {
    auto* tree = new QTreeWidget(parent);
    tree->setObjectName(name);
    tree->setHeaderLabels(headers);
    tree->setRootIsDecorated(false);
    tree->setUniformRowHeights(true);
    tree->setAllColumnsShowFocus(true);
    tree->header()->setStretchLastSection(true);
    return tree;
}

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

}  // namespace

std::optional<std::uint16_t> ParseVersionText(const QString& text) {
    static const QRegularExpression pattern("^\\s*(\\d{1,3})\\.([0-9A-Fa-f]{1,2})\\s*$");
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch()) return std::nullopt;
    const int major = m.captured(1).toInt();
    if (major > 255) return std::nullopt;
    return static_cast<std::uint16_t>(major << 8 | m.captured(2).toInt(nullptr, 16));
}

ReportText DescribeReport(const SimCall& call, std::size_t featureLength) {
    ReportText text;
    QStringList hex;
    for (std::uint8_t byte : call.bytes) hex << QString("%1").arg(byte, 2, 16, QChar('0')).toUpper();
    text.bytes = hex.join(' ');
    const auto& b = call.bytes;
    if (call.op == "HidD_GetFeature") {
        text.report = "Status request";
        // The bytes are the reply; a failed request has none. The values as the generator reported them.
        if (const std::optional<DeviceStatus> status = DecodeStatus(b.data(), b.size()))
            text.value = QString("%1 Hz, %2")
                             .arg(status->reportedFrequencyHz)
                             .arg(Millivolts(status->reportedAmplitudeIndex));
        return text;
    }
    // What the generator's firmware makes of the report the system hands it: its feature length of the buffer.
    const FirmwareCommand command = ReadSetFeature(b.data(), std::min(b.size(), featureLength), featureLength);
    switch (command.action) {
        case FirmwareAction::SetFrequency:
            text.report = "Pulse frequency";
            text.value = QString("%1 Hz").arg(command.value.frequencyHz);
            break;
        case FirmwareAction::SetAmplitude:
            text.report = "Amplitude";
            text.value = QString("%1 (entry %2)")
                             .arg(Millivolts(command.value.amplitudeIndex))
                             .arg(command.value.amplitudeIndex);
            break;
        case FirmwareAction::IgnoredCommand:
            text.report = QString("Command %1").arg(command.code);
            text.value = QString::fromStdString(FirmwareActionText(command));
            break;
        default:
            text.report = "Set feature";
            text.value = QString::fromStdString(FirmwareActionText(command));
            break;
    }
    return text;
}

SimulatorWindow::SimulatorWindow(SimulatedPlatform& platform, QWidget* parent)
    : QWidget(parent, Qt::Window), platform_(platform) {
    setObjectName("SimulatorWindow");
    setWindowTitle("Simulated pulse generators");
    setWindowIcon(QIcon(":/icons/tarvo-pulse-generator.ico"));

    // --- The generators plugged in, and what can be done to each ---
    auto* pluggedBox = new QGroupBox("Plugged in", this);
    generators = Tree(pluggedBox, "generators",
                      {"Serial number", "Made by", "Product", "Version", "Frequency, Hz", "Amplitude",
                       "Input reports", "Failing"});
    generators->setSelectionMode(QAbstractItemView::SingleSelection);
    unplug = Named(new QPushButton("Unplug", pluggedBox), "unplug");
    streaming = Named(new QPushButton("Stop input reports", pluggedBox), "streaming");
    operation = Named(new QComboBox(pluggedBox), "operation");
    for (SimOp op : AllSimOps())
        operation->addItem(SimOpName(op), static_cast<int>(op));
    fail = Named(new QPushButton("Make it fail", pluggedBox), "fail");
    heal = Named(new QPushButton("Heal", pluggedBox), "heal");

    auto* actions = new QHBoxLayout;
    actions->addWidget(unplug);
    actions->addWidget(streaming);
    actions->addStretch(1);
    actions->addWidget(new QLabel("Operation:", pluggedBox));
    actions->addWidget(operation);
    actions->addWidget(fail);
    actions->addWidget(heal);
    auto* pluggedLayout = new QVBoxLayout(pluggedBox);
    pluggedLayout->addWidget(generators);
    pluggedLayout->addLayout(actions);

    // --- Plugging in another one ---
    auto* plugBox = new QGroupBox("Plug in another generator", this);
    serial = Named(new QLineEdit(plugBox), "serial");
    maker = Named(new QLineEdit("Tarvo", plugBox), "maker");
    product = Named(new QLineEdit("Pulse Generator", plugBox), "product");
    version = Named(new QLineEdit("1.00", plugBox), "version");
    version->setValidator(
        new QRegularExpressionValidator(QRegularExpression("\\d{0,3}(\\.[0-9A-Fa-f]{0,2})?"), version));
    for (QLineEdit* box : {serial, maker, product}) box->setMaxLength(126);  // the longest USB string
    frequency = Named(new QSpinBox(plugBox), "frequency");
    frequency->setRange(0, std::numeric_limits<int>::max());
    frequency->setValue(FOUT_DEFAULT_HZ);
    frequency->setSuffix(" Hz");
    amplitude = Named(new QComboBox(plugBox), "amplitude");
    for (int i = 0; i < VOUT_ENTRY_COUNT; ++i) amplitude->addItem(QString("%1 mV").arg(AmplitudeMillivolts(i)));
    amplitude->setCurrentIndex(VOUT_DEFAULT_INDEX);
    plug = Named(new QPushButton("Plug in", plugBox), "plug");
    status = Named(new QLabel(plugBox), "status");

    auto* form = new QFormLayout;
    form->addRow("Serial number:", serial);
    form->addRow("Made by:", maker);
    form->addRow("Product:", product);
    form->addRow("Version:", version);
    form->addRow("Starting frequency:", frequency);
    form->addRow("Starting amplitude:", amplitude);
    auto* plugRow = new QHBoxLayout;
    plugRow->addWidget(plug);
    plugRow->addWidget(status, 1);
    auto* plugLayout = new QVBoxLayout(plugBox);
    plugLayout->addLayout(form);
    plugLayout->addLayout(plugRow);

    // --- The reports received ---
    auto* logBox = new QGroupBox("Reports received", this);
    log = Tree(logBox, "log", {"Time", "Serial number", "Report", "Value", "Result", "Bytes"});
    log->setSelectionMode(QAbstractItemView::NoSelection);
    // Room for the longest text each column usually shows.
    const QFontMetrics metrics = log->fontMetrics();
    for (auto [column, sample] : {std::pair{L_TIME, "88:88:88.888"}, {L_SERIAL, "TPG-000000 #2"},
                                  {L_REPORT, "Pulse frequency"}, {L_VALUE, "350000000 Hz, 1624 mV"},
                                  {L_RESULT, "failed"}})
        log->header()->resizeSection(column, metrics.horizontalAdvance(sample) + 3 * metrics.averageCharWidth());
    clearLog = Named(new QPushButton("Clear log", logBox), "clearLog");
    auto* logLayout = new QVBoxLayout(logBox);
    logLayout->addWidget(log);
    auto* logRow = new QHBoxLayout;
    logRow->addStretch(1);
    logRow->addWidget(clearLog);
    logLayout->addLayout(logRow);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pluggedBox, 2);
    layout->addWidget(plugBox, 0);
    layout->addWidget(logBox, 3);
    resize(800, 680);

    connect(generators, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(operation, &QComboBox::currentIndexChanged, this, [this] { UpdateButtons(); });
    connect(unplug, &QPushButton::clicked, this, [this] { UnplugClicked(); });
    connect(streaming, &QPushButton::clicked, this, [this] { StreamingClicked(); });
    connect(fail, &QPushButton::clicked, this, [this] { FailClicked(); });
    connect(heal, &QPushButton::clicked, this, [this] { HealClicked(); });
    connect(plug, &QPushButton::clicked, this, [this] { PlugClicked(); });
    connect(serial, &QLineEdit::returnPressed, this, [this] { PlugClicked(); });
    connect(clearLog, &QPushButton::clicked, log, &QTreeWidget::clear);

    for (const std::string& name : platform_.PluggedNames()) serials_[name] = FromU16(platform_.Device(name)->serial);
    platform_.onCall = [this](const SimCall& call) { OnCall(call); };
    RefreshGenerators();
    SuggestSerial(serials_.empty() ? QString("TPG-000000") : serials_.rbegin()->second);
}

SimulatorWindow::~SimulatorWindow() { platform_.onCall = nullptr; }

std::string SimulatorWindow::Plug(SimDeviceConfig config) {
    const std::string base = QString::fromStdU16String(config.serial).toStdString();
    std::string name = base;
    for (int n = 2; platform_.IsPlugged(name); ++n) name = base + " #" + std::to_string(n);
    config.name = name;
    platform_.Plug(config);
    serials_[name] = FromU16(config.serial);
    RefreshGenerators();
    SuggestSerial(serials_[name]);
    return name;
}

void SimulatorWindow::PlugClicked() {
    const std::optional<std::uint16_t> bcd = ParseVersionText(version->text());
    if (!bcd) {
        status->setText("The version is a number, a point and two hex digits, as 1.00 or 2.0A.");
        version->setFocus();
        return;
    }
    SimDeviceConfig config;
    config.vendorId = DEVICE_VENDOR_ID;
    config.productId = DEVICE_PRODUCT_ID;
    config.serial = ToU16(serial->text());
    config.manufacturer = ToU16(maker->text());
    config.product = ToU16(product->text());
    config.version = *bcd;
    config.frequency = frequency->value();
    config.amplitude = static_cast<std::uint16_t>(amplitude->currentIndex());
    const std::string name = Plug(config);
    status->setText(QString("Plugged in %1.").arg(QString::fromStdString(name)));
}

void SimulatorWindow::UnplugClicked() {
    const std::string name = SelectedName();
    if (name.empty()) return;
    platform_.Unplug(name);
    status->setText(QString("Unplugged %1.").arg(QString::fromStdString(name)));
    RefreshGenerators();
}

void SimulatorWindow::StreamingClicked() {
    const std::string name = SelectedName();
    if (const SimDeviceConfig* device = platform_.Device(name)) platform_.SetStreaming(name, !device->streaming);
    RefreshGenerators();
}

void SimulatorWindow::FailClicked() {
    const std::string name = SelectedName();
    if (name.empty()) return;
    platform_.Fail(name, SelectedOp());
    RefreshGenerators();
}

void SimulatorWindow::HealClicked() {
    const std::string name = SelectedName();
    if (name.empty()) return;
    platform_.Heal(name, SelectedOp());
    RefreshGenerators();
}

// The next free serial after the given one: its trailing digits counted up, their width kept.
void SimulatorWindow::SuggestSerial(const QString& after) {
    static const QRegularExpression digits("^(.*?)(\\d+)$");
    const QRegularExpressionMatch m = digits.match(after);
    if (!m.hasMatch()) {
        serial->setText(after + "-2");
        return;
    }
    const QString prefix = m.captured(1);
    const int width = static_cast<int>(m.captured(2).size());
    qulonglong n = m.captured(2).toULongLong();
    QString next;
    do {
        next = prefix + QString("%1").arg(++n, width, 10, QChar('0'));
    } while (platform_.IsPlugged(next.toStdString()));
    serial->setText(next);
}

void SimulatorWindow::RefreshGenerators() {
    const std::string selected = SelectedName();
    QSignalBlocker block(generators);
    generators->clear();
    QTreeWidgetItem* keep = nullptr;
    for (const std::string& name : platform_.PluggedNames()) {
        const SimDeviceConfig* d = platform_.Device(name);
        auto* item = new QTreeWidgetItem(generators);
        item->setData(G_SERIAL, NAME_ROLE, QString::fromStdString(name));
        item->setText(G_SERIAL, serials_[name]);
        item->setText(G_MAKER, FromU16(d->manufacturer));
        item->setText(G_PRODUCT, FromU16(d->product));
        item->setText(G_VERSION, QString::fromStdString(VersionText(d->version)));
        item->setText(G_FREQUENCY, QString::number(d->frequency));
        item->setText(G_AMPLITUDE, Millivolts(d->amplitude));
        item->setText(G_INPUT, d->streaming ? "sending" : "stopped");
        item->setText(G_FAILING, FailingText(name));
        if (name == selected) keep = item;
    }
    for (int c = 0; c < G_FAILING; ++c) generators->resizeColumnToContents(c);
    if (keep) generators->setCurrentItem(keep);
    block.unblock();
    UpdateButtons();
}

void SimulatorWindow::UpdateButtons() {
    const std::string name = SelectedName();
    const SimDeviceConfig* device = name.empty() ? nullptr : platform_.Device(name);
    unplug->setEnabled(device != nullptr);
    streaming->setEnabled(device != nullptr);
    streaming->setText(device && !device->streaming ? "Resume input reports" : "Stop input reports");
    const bool failing = device && platform_.Failing(name, SelectedOp());
    fail->setEnabled(device && !failing);
    heal->setEnabled(failing);
}

std::string SimulatorWindow::SelectedName() const {
    const QList<QTreeWidgetItem*> items = generators->selectedItems();
    return items.isEmpty() ? std::string() : items.front()->data(G_SERIAL, NAME_ROLE).toString().toStdString();
}

SimOp SimulatorWindow::SelectedOp() const { return static_cast<SimOp>(operation->currentData().toInt()); }

QString SimulatorWindow::FailingText(const std::string& name) const {
    QStringList ops;
    for (int i = 0; i < operation->count(); ++i) {
        const auto op = static_cast<SimOp>(operation->itemData(i).toInt());
        if (platform_.Failing(name, op)) ops << SimOpName(op);
    }
    return ops.join(", ");
}

void SimulatorWindow::OnCall(const SimCall& call) {
    if (call.op != "HidD_SetFeature" && call.op != "HidD_GetFeature") return;
    // A report on a handle that is not open, or to a generator that is gone, reaches no generator.
    if (call.device.empty() || !platform_.IsPlugged(call.device)) return;

    const ReportText text = DescribeReport(call, platform_.Device(call.device)->featureLength);
    QScrollBar* bar = log->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    auto* item = new QTreeWidgetItem(log);
    item->setText(L_TIME, QTime::currentTime().toString("HH:mm:ss.zzz"));
    const auto known = serials_.find(call.device);
    item->setText(L_SERIAL, known != serials_.end() ? known->second : QString::fromStdString(call.device));
    item->setText(L_REPORT, text.report);
    item->setText(L_VALUE, text.value);
    item->setText(L_RESULT, call.ok ? "ok" : "failed");
    item->setText(L_BYTES, text.bytes);
    item->setFont(L_BYTES, QFontDatabase::systemFont(QFontDatabase::FixedFont));
    while (log->topLevelItemCount() > LOG_MAX_ENTRIES) delete log->takeTopLevelItem(0);
    if (atEnd) log->scrollToBottom();

    // A command the generator took changes what it holds.
    if (call.op == "HidD_SetFeature" && call.ok) RefreshGenerators();
}

}  // namespace tarvo
