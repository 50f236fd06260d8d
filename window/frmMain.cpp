#include "frmMain.h"

#include "device/HidString.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"
#include "protocol/SettingsProtocol.h"
#include "protocol/VersionText.h"

#include <algorithm>
#include <array>
#include <vector>

namespace tarvo {

using C = ControlId;

frmMain::frmMain(FormView& view, ApiDeclarations& api) : view_(view), api_(api) {
    messageBox = [this](const std::string& title, const std::string& prompt) { view_.MessageBox(title, prompt); };
}

DeviceContext frmMain::context() { return DeviceContext{session_, api_, *this}; }

void frmMain::Scan_USB_devices() { tarvo::Scan_USB_devices(context()); }

bool frmMain::FindTheHid() { return tarvo::FindTheHid(context()); }

// --- Start-up and shut-down ---

void frmMain::Form_Load() {
    session_.RefreshComplete = false;
    session_.SettingsLoaded = false;
    view_.ShowForm();
    Scan_USB_devices();
    session_.DeviceAttached = FindTheHid();
    RefreshFromDevice();
    view_.StartTimer();
}

void frmMain::Form_Unload() {
    view_.StopTimer();
    session_.SettingsLoaded = false;
    if (session_.DeviceAttached) CloseDevice();
}

// --- Polling and switching ---

void frmMain::Timer_Timer() {
    if (inMessageBox_) return;
    PollDevice();
}

void frmMain::PollDevice() {
    if (session_.DeviceAttached) {
        // Large enough for the report ID and 64 data bytes, or for a longer input report.
        const std::uint32_t length = session_.Caps.InputReportByteLength;
        std::vector<std::uint8_t> probe(std::max<std::size_t>(POLL_READ_BUFFER_BYTES, length), 0);
        std::uint32_t bytesRead = 0;
        session_.LastResult = api_.ReadFile(session_.ReadHandle, probe.data(), length, &bytesRead,
                                            &session_.ReadOverlapped);
        if (session_.LastResult != 0) {
            view_.SetTimerInterval(POLL_INTERVAL_ATTACHED_MS);
            return;
        }
        session_.DeviceAttached = false;
        CloseDevice();
        view_.SetTimerInterval(POLL_INTERVAL_SEARCH_MS);
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
    view_.StopTimer();
    if (session_.DeviceAttached) {
        session_.DeviceAttached = false;
        CloseDevice();
        view_.SetTimerInterval(POLL_INTERVAL_SEARCH_MS);
        session_.RefreshComplete = false;
    }
    session_.RefreshComplete = false;
    session_.DeviceAttached = FindTheHid();
    RefreshFromDevice();
    view_.StartTimer();
}

// --- The serial-number list for the walks ---

void frmMain::Clear() { view_.ClearList(C::SerNo); }

void frmMain::SetEnabled(bool enabled) { view_.SetEnabled(C::SerNo, enabled); }

void frmMain::Insert(int index, const std::string& text) { view_.InsertListItem(C::SerNo, index, text); }

// A choice made by code: the list's click handler runs before this returns.
void frmMain::Select(int index) {
    view_.SetListIndex(C::SerNo, index);
    SerNo_Click();
}

std::string frmMain::SelectedText() const { return view_.Text(C::SerNo); }

// --- Window refresh ---

void frmMain::RefreshFromDevice() {
    session_.RefreshComplete = false;

    for (C label : {C::lblManuf, C::lblProduct, C::lblVersion}) view_.SetText(label, "");
    for (C list : {C::Vout, C::polarity, C::ext_trig_dir}) {
        view_.ClearList(list);
        view_.SetEnabled(list, false);
    }
    for (C c : {C::Factory, C::Frame3, C::trig_frame, C::SetFout, C::Label6, C::Label7, C::Label8, C::Label9,
                C::SetFsync})
        view_.SetEnabled(c, false);
    for (C box : {C::ext_sync_freq, C::Foutput}) {
        view_.SetEnabled(box, false);
        view_.SetText(box, "");
    }

    if (!session_.DeviceAttached) return;

    std::array<std::uint8_t, STRING_BUFFER_BYTES> text{};  // shared by both strings; bytes 100 on stay zero
    // The strings are read on the input-report handle. When that handle failed to open, the reads count as
    // failed without being made on the invalid handle; the next poll drops the device.
    using StringRead = BOOL (ApiDeclarations::*)(Handle, std::uint8_t*, std::uint32_t);
    auto readString = [&](StringRead read, C label) {
        session_.LastResult = session_.ReadHandle == INVALID_HANDLE_VALUE
                                  ? 0
                                  : (api_.*read)(session_.ReadHandle, text.data(), STRING_READ_LENGTH);
        if (session_.LastResult == 0) return false;
        view_.SetText(label, ' ' + HidStringToText(api_, text.data(), text.size()));
        return true;
    };
    if (readString(&ApiDeclarations::HidD_GetManufacturerString, C::lblManuf))
        view_.SetText(C::lblVersion, ' ' + VersionText(session_.Attributes.VersionNumber));
    readString(&ApiDeclarations::HidD_GetProductString, C::lblProduct);

    for (C c : {C::Frame1, C::Foutput, C::Vout, C::Factory, C::Frame3, C::SetFout, C::Label6, C::Label7})
        view_.SetEnabled(c, true);

    if (const std::optional<DeviceStatus> status = ReadStatus(session_, api_)) {
        FillAmplitudeList();
        view_.SetText(C::Foutput, HertzText(status->frequencyHz));
        SelectAmplitude(status->amplitudeIndex);
        session_.SettingsLoaded = true;
    }
    session_.RefreshComplete = true;
}

void frmMain::FillAmplitudeList() {
    view_.ClearList(C::Vout);
    view_.AppendListItems(C::Vout, AmplitudeTexts());
    view_.SetListIndex(C::Vout, -1);
}

// A choice made by code: the list's click handler runs before this returns.
void frmMain::SelectAmplitude(int index) {
    view_.SetListIndex(C::Vout, index);
    Vout_Click();
}

// --- Settings commands ---

void frmMain::ShowMessage(const std::string& title, const std::string& prompt) {
    const bool outer = !inMessageBox_;
    inMessageBox_ = true;
    messageBox(title, prompt);
    if (outer) inMessageBox_ = false;
}

void frmMain::SetFout_Click() {
    const auto value = [this] { return ParseFrequencyText(view_.Text(C::Foutput)); };
    const std::optional<double> v = value();
    if (!v) {
        ShowMessage("Bad input", "Enter pulse frequency in Hz");
        view_.SetFocus(C::Foutput);
        return;
    }
    if (*v < FOUT_MIN_HZ || *v > FOUT_MAX_HZ) {
        ShowMessage("Bad data range", "Pulse frequency is between 25kHz and 350MHz");
        if (const auto now = value(); now && *now < FOUT_MIN_HZ) view_.SetText(C::Foutput, HertzText(FOUT_MIN_HZ));
        if (const auto now = value(); now && *now > FOUT_MAX_HZ) view_.SetText(C::Foutput, HertzText(FOUT_MAX_HZ));
        view_.SetFocus(C::Foutput);
        return;
    }
    const auto hertz = static_cast<std::int32_t>(RoundHalfUp(*v));
    view_.SetText(C::Foutput, HertzText(hertz));
    SendFrequency(session_, api_, hertz);  // sent only while the window is in step
}

void frmMain::Vout_Click() {
    // An empty list has no index to send.
    const int index = view_.ListIndex(C::Vout);
    if (index >= 0) SendAmplitude(session_, api_, static_cast<std::int16_t>(index));
}

void frmMain::Factory_Click() {
    view_.SetText(C::Foutput, HertzText(FOUT_DEFAULT_HZ));
    SetFout_Click();
    // After a failed status read the list is empty: there is no default entry to choose or send.
    if (view_.ListCount(C::Vout) <= VOUT_DEFAULT_INDEX) return;
    SelectAmplitude(VOUT_DEFAULT_INDEX);
    Vout_Click();
}

}  // namespace tarvo
