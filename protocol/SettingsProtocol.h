// Sending commands to and reading the status of the open pulse generator, in the feature report frame.
#pragma once

#include "FeatureReport.h"
#include "device/ApiDeclarations.h"
#include "device/DeviceSession.h"

#include <cstdint>
#include <optional>

namespace tarvo {

// Sends the frequency or amplitude command on DeviceHandle when CommandsAllowed(session) holds, in a new
// zero-filled buffer of FeatureReportByteLength bytes; the result goes to LastResult only. A device whose
// feature report cannot hold the command gets nothing. Returns whether a request was made.
bool SendFrequency(DeviceSession& session, ApiDeclarations& api, std::int32_t hertz);
bool SendAmplitude(DeviceSession& session, ApiDeclarations& api, std::int16_t index);

// One status request on DeviceHandle with an all-zero buffer of FeatureReportByteLength bytes. Nothing when
// the request failed or the reply is too short to decode (its request is still made when the length holds at
// least the report ID).
std::optional<DeviceStatus> ReadStatus(DeviceSession& session, ApiDeclarations& api);

}  // namespace tarvo
