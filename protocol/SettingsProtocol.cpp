#include "SettingsProtocol.h"

#include <vector>

namespace tarvo {
namespace {

std::size_t FeatureLength(const DeviceSession& session) { return session.Caps.FeatureReportByteLength; }

bool Send(DeviceSession& session, ApiDeclarations& api, const std::vector<std::uint8_t>& frame) {
    if (frame.empty()) return false;
    session.LastResult = api.HidD_SetFeature(session.DeviceHandle, frame.data(), static_cast<std::uint32_t>(frame.size()));
    return true;
}

}  // namespace

bool SendFrequency(DeviceSession& session, ApiDeclarations& api, std::int32_t hertz) {
    if (!CommandsAllowed(session)) return false;
    return Send(session, api, EncodeFrequencyCommand(hertz, FeatureLength(session)));
}

bool SendAmplitude(DeviceSession& session, ApiDeclarations& api, std::int16_t index) {
    if (!CommandsAllowed(session)) return false;
    return Send(session, api, EncodeAmplitudeCommand(index, FeatureLength(session)));
}

std::optional<DeviceStatus> ReadStatus(DeviceSession& session, ApiDeclarations& api) {
    std::vector<std::uint8_t> buffer(FeatureLength(session), 0);
    if (buffer.empty()) return std::nullopt;
    session.LastResult = api.HidD_GetFeature(session.DeviceHandle, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (session.LastResult == 0) return std::nullopt;
    return DecodeStatus(buffer.data(), buffer.size());
}

}  // namespace tarvo
