#include "GeneratorSession.h"

#include "DeviceFinder.h"
#include "SerialNumberList.h"
#include "protocol/DeviceIdentity.h"

#include <algorithm>

namespace tarvo {
namespace {

GeneratorOutcome Sent(DeviceSession& s, ApiDeclarations& api, const std::vector<std::uint8_t>& frame) {
    if (frame.empty()) return GeneratorOutcome::TooShort;
    s.LastResult = api.HidD_SetFeature(s.DeviceHandle, frame.data(), static_cast<std::uint32_t>(frame.size()));
    return s.LastResult != 0 ? GeneratorOutcome::Done : GeneratorOutcome::Failed;
}

}  // namespace

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

GeneratorIdentity GeneratorSession::Identity() {
    if (!IsOpen()) return {};
    const DeviceIdentity read = ReadIdentity(session_, api_);
    return {read.manufacturer, read.product, read.version};
}

StatusReading GeneratorSession::ReadStatus() {
    if (!IsOpen()) return {};
    if (FeatureReportLength() < STATUS_FRAME_BYTES) return {GeneratorOutcome::TooShort, {}};
    std::vector<std::uint8_t> buffer(FeatureReportLength(), 0);
    session_.LastResult = api_.HidD_GetFeature(session_.DeviceHandle, buffer.data(),
                                               static_cast<std::uint32_t>(buffer.size()));
    if (session_.LastResult == 0) return {GeneratorOutcome::Failed, {}};
    return {GeneratorOutcome::Done, *DecodeStatus(buffer.data(), buffer.size())};
}

GeneratorOutcome GeneratorSession::SendFrequency(std::int32_t hertz) {
    if (!IsOpen()) return GeneratorOutcome::NotOpen;
    return Sent(session_, api_, EncodeFrequencyCommand(hertz, FeatureReportLength()));
}

GeneratorOutcome GeneratorSession::SendAmplitude(int index) {
    if (!IsOpen()) return GeneratorOutcome::NotOpen;
    return Sent(session_, api_, EncodeAmplitudeCommand(static_cast<std::int16_t>(index), FeatureReportLength()));
}

GeneratorOutcome GeneratorSession::RestoreDefaults() {
    const GeneratorOutcome frequency = SendFrequency(FOUT_DEFAULT_HZ);
    if (frequency != GeneratorOutcome::Done) return frequency;
    return SendAmplitude(VOUT_DEFAULT_INDEX);
}

}  // namespace tarvo
