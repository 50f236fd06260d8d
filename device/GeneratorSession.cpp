#include "GeneratorSession.h"

#include "DeviceFinder.h"
#include "SerialNumberList.h"

#include <algorithm>

namespace tarvo {

std::vector<std::string> ListGenerators(ApiDeclarations& api) {
    DeviceSession walk;
    ListedSerialNumbers list;
    Scan_USB_devices(DeviceContext{walk, api, list});
    return list.entries;
}

GeneratorSession::GeneratorSession(ApiDeclarations& api) : api_(api) {}

GeneratorSession::~GeneratorSession() {
    Close();
    if (session_.ReadEvent != 0) api_.CloseHandle(session_.ReadEvent);
}

GeneratorSession::OpenOutcome GeneratorSession::Open(const std::string& serial) {
    Close();
    serial_ = serial;
    session_.Caps = HIDP_CAPS{};  // a failed capability read must not leave the last generator's lengths
    ListedSerialNumbers wanted;
    wanted.Insert(0, serial);
    wanted.Select(0);
    session_.DeviceAttached = FindTheHid(DeviceContext{session_, api_, wanted});
    if (session_.DeviceAttached) return OpenOutcome::Opened;
    const std::vector<std::string> listed = ListGenerators(api_);
    return std::find(listed.begin(), listed.end(), serial) != listed.end() ? OpenOutcome::Failed
                                                                            : OpenOutcome::NotAttached;
}

void GeneratorSession::Close() {
    if (session_.DeviceAttached) CloseDevice(session_, api_);
    session_.DeviceAttached = false;
}

bool GeneratorSession::IsOpen() const { return session_.DeviceAttached; }

const std::string& GeneratorSession::Serial() const { return serial_; }

std::uint16_t GeneratorSession::FeatureReportLength() const {
    return IsOpen() ? session_.Caps.FeatureReportByteLength : 0;
}

std::string GeneratorSession::Path() const { return IsOpen() ? session_.DevicePath : std::string(); }

HIDD_ATTRIBUTES GeneratorSession::Attributes() const { return IsOpen() ? session_.Attributes : HIDD_ATTRIBUTES{}; }

HIDP_CAPS GeneratorSession::Caps() const { return IsOpen() ? session_.Caps : HIDP_CAPS{}; }

GeneratorIdentity GeneratorSession::Identity() {
    if (!IsOpen()) return {};
    return ReadIdentity(session_, api_);
}

StatusReading GeneratorSession::ReadStatus() {
    if (!IsOpen()) return {};
    // The window asks even a report too short to decode; a session does not.
    if (FeatureReportLength() < STATUS_FRAME_BYTES) return {GeneratorOutcome::TooShort, {}};
    return tarvo::ReadStatus(session_, api_);
}

GeneratorOutcome GeneratorSession::SendFrequency(std::int32_t hertz) {
    if (!IsOpen()) return GeneratorOutcome::NotOpen;
    return tarvo::SendFrequency(session_, api_, hertz);
}

GeneratorOutcome GeneratorSession::SendAmplitude(int index) {
    if (!IsOpen()) return GeneratorOutcome::NotOpen;
    return tarvo::SendAmplitude(session_, api_, static_cast<std::int16_t>(index));
}

GeneratorOutcome GeneratorSession::RestoreDefaults() {
    const GeneratorOutcome frequency = SendFrequency(FOUT_DEFAULT_HZ);
    if (frequency != GeneratorOutcome::Done) return frequency;
    return SendAmplitude(VOUT_DEFAULT_INDEX);
}

}  // namespace tarvo
