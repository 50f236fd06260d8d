// The utility's one window: the device details, the pulse output controls, the polling timer and the session
// of the open pulse generator. Every handler runs to completion on the window's thread.
#pragma once

#include "device/ApiDeclarations.h"
#include "device/DeviceFinder.h"
#include "device/DeviceSession.h"
#include "device/SerialNumberList.h"

#include <QWidget>

#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tarvo {

inline constexpr int POLL_INTERVAL_START_MS = 50;
inline constexpr int POLL_INTERVAL_ATTACHED_MS = 500;
inline constexpr int POLL_INTERVAL_SEARCH_MS = 250;
inline constexpr int POLL_READ_BUFFER_BYTES = 65;

class frmMain final : public QWidget, private SerialNumberList {
    Q_OBJECT

public:
    explicit frmMain(ApiDeclarations& api, QWidget* parent = nullptr);
    ~frmMain() override;

    // The load handler: shows the window, finds and opens a pulse generator, fills the window, starts the timer.
    void Form_Load();

    // The window's public operations.
    void Scan_USB_devices();
    bool FindTheHid();

    // Shows a modal message box with an OK button and no icon. Replaceable, so tests and the scenario runner
    // see every message without a dialog; the default is the real box.
    std::function<void(const QString& title, const QString& prompt)> messageBox;

    const DeviceSession& session() const { return session_; }

protected:
    // Tests and benchmarks reach the private procedures through this one door.
    friend struct WindowProbe;

    void closeEvent(QCloseEvent* event) override;

private:
    // Event handlers.
    void Form_Unload();
    void SerNo_Click();
    void Timer_Timer();
    void SetFout_Click();
    void Vout_Click();
    void Factory_Click();

    // Private procedures.
    void RefreshFromDevice();
    void FillAmplitudeList();
    void PollDevice();
    void Search();
    void CloseDevice();
    void SelectAmplitude(int index);
    DeviceContext context();

    // SerialNumberList over SerNo, for the device walks.
    void Clear() override;
    void SetEnabled(bool enabled) override;
    void Insert(int index, const std::string& text) override;
    void Select(int index) override;
    std::string SelectedText() const override;

    ApiDeclarations& api_;
    DeviceSession session_;

    QGroupBox* Frame1;
    QLabel* Label5;
    QLabel* lblProduct;
    QLabel* lblSerialNumber;
    QLabel* Label4;
    QLabel* lblManuf;
    QLabel* Label2;
    QLabel* lblVersion;
    QLabel* Label3;
    QComboBox* SerNo;
    QTimer* Timer;
    QGroupBox* Frame3;
    QLineEdit* Foutput;
    QPushButton* SetFout;
    QComboBox* Vout;
    QLabel* Label6;
    QLabel* Label7;
    QPushButton* Factory;
    QGroupBox* trig_frame;
    QComboBox* ext_trig_dir;
    QLabel* Label9;
    QLineEdit* ext_sync_freq;
    QPushButton* SetFsync;
    QComboBox* polarity;
    QLabel* Label8;
};

// The names of the window's controls in the order of its control table, for tools that address them by name.
const QStringList& ControlNames();

}  // namespace tarvo
