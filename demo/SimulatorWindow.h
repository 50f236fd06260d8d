// The demo's second window, "Simulated pulse generators": it plugs generators into the simulated platform and
// unplugs them, stops and resumes their input reports, makes their operations fail and heals them, and logs
// every feature report each generator receives.
#pragma once

#include "device/SimulatedPlatform.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace tarvo {

class SimulatorWindow final : public QWidget {
    Q_OBJECT

public:
    // Takes the platform's onCall observer for the log, and gives it back when destroyed. The platform must
    // outlive the window. Generators already plugged in are listed.
    explicit SimulatorWindow(SimulatedPlatform& platform, QWidget* parent = nullptr);
    ~SimulatorWindow() override;

    // Plugs in a generator with these settings under a name made from its serial number (made unique, so two
    // generators may report the same serial). Returns that name.
    std::string Plug(SimDeviceConfig config);

    // The log keeps the newest entries only.
    static constexpr int LOG_MAX_ENTRIES = 2000;

private:
    void PlugClicked();
    void UnplugClicked();
    void StreamingClicked();
    void FailClicked();
    void HealClicked();
    void OnCall(const SimCall& call);

    void RefreshGenerators();
    void UpdateButtons();
    void SuggestSerial(const QString& after);
    std::string SelectedName() const;
    SimOp SelectedOp() const;
    QString FailingText(const std::string& name) const;

    SimulatedPlatform& platform_;
    std::map<std::string, QString> serials_;  // device name -> serial shown, kept after the unplug

    QTreeWidget* generators;
    QPushButton* unplug;
    QPushButton* streaming;
    QComboBox* operation;
    QPushButton* fail;
    QPushButton* heal;

    QLineEdit* serial;
    QLineEdit* maker;
    QLineEdit* product;
    QLineEdit* version;
    QSpinBox* frequency;
    QComboBox* amplitude;
    QPushButton* plug;
    QLabel* status;

    QTreeWidget* log;
    QPushButton* clearLog;
};

// The version text a generator reports, as the main window shows it ("1.0A" for 0x010A): the high byte in
// decimal, "." and the low byte in one or two hex digits. Nothing for any other text.
std::optional<std::uint16_t> ParseVersionText(const QString& text);

// The log's texts for one feature report to a generator whose feature report is featureLength bytes long: what
// it is to the generator's firmware, its value, and its bytes in hex.
struct ReportText {
    QString report;
    QString value;
    QString bytes;
};
ReportText DescribeReport(const SimCall& call, std::size_t featureLength);

}  // namespace tarvo
