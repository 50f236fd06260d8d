#include "frmMain.h"

#include "device/GeneratorRequests.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"

#include <algorithm>
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
    if (session_.DeviceAttached) CloseDevice(session_, api_);
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
        CloseDevice(session_, api_);
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

void frmMain::SerNo_Click() {
    // Also the guard against the walk: Scan_USB_devices sets SettingsLoaded false before it selects entries,
    // so the selections it makes through Select end here instead of starting a nested open.
    if (!session_.SettingsLoaded) return;
    view_.StopTimer();
    if (session_.DeviceAttached) {
        session_.DeviceAttached = false;
        CloseDevice(session_, api_);
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

// A choice made by code: the list's click handler runs before this returns. The walk calls this with
// SettingsLoaded false, so there SerNo_Click returns at once.
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

    // The strings are read on the input-report handle. When that handle failed to open, the reads count as
    // failed without being made on the invalid handle; the next poll drops the device.
    const GeneratorIdentity identity = ReadIdentity(session_, api_);
    if (identity.manufacturer) view_.SetText(C::lblManuf, ' ' + *identity.manufacturer);
    if (identity.version) view_.SetText(C::lblVersion, ' ' + *identity.version);
    if (identity.product) view_.SetText(C::lblProduct, ' ' + *identity.product);

    for (C c : {C::Frame1, C::Foutput, C::Vout, C::Factory, C::Frame3, C::SetFout, C::Label6, C::Label7})
        view_.SetEnabled(c, true);

    if (const StatusReading reading = ReadStatus(session_, api_); reading.outcome == GeneratorOutcome::Done) {
        FillAmplitudeList();
        view_.SetText(C::Foutput, HertzText(reading.status.frequencyHz));
        SelectAmplitude(reading.status.amplitudeIndex);  // sends nothing: RefreshComplete is false
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
    const FrequencyCheck check = CheckFrequencyText(view_.Text(C::Foutput));
    if (check.verdict != FrequencyVerdict::Accepted) {
        ShowMessage(std::string(check.title), std::string(check.prompt));
        if (check.verdict == FrequencyVerdict::OutOfRange) view_.SetText(C::Foutput, HertzText(check.hertz));
        view_.SetFocus(C::Foutput);
        return;
    }
    view_.SetText(C::Foutput, HertzText(check.hertz));
    if (CommandsAllowed(session_)) SendFrequency(session_, api_, check.hertz);
}

void frmMain::Vout_Click() {
    // An empty list has no index to send.
    const int index = view_.ListIndex(C::Vout);
    if (index >= 0 && CommandsAllowed(session_)) SendAmplitude(session_, api_, static_cast<std::int16_t>(index));
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
