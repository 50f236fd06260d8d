#include "GeneratorRequests.h"

#include "DeviceFinder.h"
#include "HidString.h"
#include "protocol/VersionText.h"

#include <array>
#include <vector>

namespace tarvo {
namespace {

std::size_t FeatureLength(const DeviceSession& session) { return session.Caps.FeatureReportByteLength; }

GeneratorOutcome Send(DeviceSession& session, ApiDeclarations& api, const std::vector<std::uint8_t>& frame) {
    if (frame.empty()) return GeneratorOutcome::TooShort;
    session.LastResult = api.HidD_SetFeature(session.DeviceHandle, frame.data(), static_cast<std::uint32_t>(frame.size()));
    return session.LastResult != 0 ? GeneratorOutcome::Done : GeneratorOutcome::Failed;
}

}  // namespace

GeneratorIdentity ReadIdentity(DeviceSession& session, ApiDeclarations& api) {
    std::array<std::uint8_t, STRING_BUFFER_BYTES> text{};  // shared by both strings; bytes 100 on stay zero
    using StringRead = BOOL (ApiDeclarations::*)(Handle, std::uint8_t*, std::uint32_t);
    auto read = [&](StringRead call) -> std::optional<std::string> {
        session.LastResult =
            session.ReadHandle == INVALID_HANDLE_VALUE ? 0 : (api.*call)(session.ReadHandle, text.data(), STRING_READ_LENGTH);
        if (session.LastResult == 0) return std::nullopt;
        return HidStringToText(api, text.data(), text.size());
    };
    GeneratorIdentity identity;
    identity.manufacturer = read(&ApiDeclarations::HidD_GetManufacturerString);
    if (identity.manufacturer) identity.version = VersionText(session.Attributes.VersionNumber);
    identity.product = read(&ApiDeclarations::HidD_GetProductString);
    return identity;
}

StatusReading ReadStatus(DeviceSession& session, ApiDeclarations& api) {
    std::vector<std::uint8_t> buffer(FeatureLength(session), 0);
    if (buffer.empty()) return {GeneratorOutcome::TooShort, {}};
    session.LastResult = api.HidD_GetFeature(session.DeviceHandle, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (session.LastResult == 0) return {GeneratorOutcome::Failed, {}};
    const std::optional<DeviceStatus> status = DecodeStatus(buffer.data(), buffer.size());
    if (!status) return {GeneratorOutcome::TooShort, {}};
    return {GeneratorOutcome::Done, *status};
}

GeneratorOutcome SendFrequency(DeviceSession& session, ApiDeclarations& api, std::int32_t hertz) {
    return Send(session, api, EncodeFrequencyCommand(hertz, FeatureLength(session)));
}

GeneratorOutcome SendAmplitude(DeviceSession& session, ApiDeclarations& api, std::int16_t index) {
    return Send(session, api, EncodeAmplitudeCommand(index, FeatureLength(session)));
}

}  // namespace tarvo
