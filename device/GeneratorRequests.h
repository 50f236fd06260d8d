// The requests made to an open pulse generator, on the record of its walk and open: its identity strings, its
// status report and the two commands, in the feature report frame. Both the window and GeneratorSession make
// them; neither gate nor flag is looked at here (the window decides when it may send). Each platform result is
// also stored in LastResult.
#pragma once

#include "ApiDeclarations.h"
#include "DeviceSession.h"
#include "protocol/FeatureReport.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tarvo {

// What became of one request.
enum class GeneratorOutcome {
    Done,      // made, and the system reported success
    NotOpen,   // no generator is open: nothing was made
    TooShort,  // the generator's feature report cannot hold the frame: nothing was made (see ReadStatus)
    Failed,    // made, and the system reported failure
};

struct StatusReading {
    GeneratorOutcome outcome = GeneratorOutcome::NotOpen;
    DeviceStatus status{};  // meaningful only when outcome is Done
};

// The maker, product name and firmware version as the window shows them, without its leading space.
struct GeneratorIdentity {
    std::optional<std::string> manufacturer;  // nothing when the string could not be read
    std::optional<std::string> product;
    std::optional<std::string> version;       // VersionText of the opened device; only when the maker was read
};

// Reads the manufacturer, then the product string on ReadHandle into one shared 201-byte buffer (each read
// offered its first 100 bytes, so at most 50 characters). With ReadHandle not open the reads count as failed
// without being made.
GeneratorIdentity ReadIdentity(DeviceSession& session, ApiDeclarations& api);

// One status request on DeviceHandle with an all-zero buffer of FeatureReportByteLength bytes. Done with the
// decoded report, or Failed. A reply shorter than STATUS_FRAME_BYTES is TooShort: its request is still made
// when the length holds at least the report ID, as the window makes it, and never read past its end.
StatusReading ReadStatus(DeviceSession& session, ApiDeclarations& api);

// The frequency or amplitude command on DeviceHandle, in a new zero-filled buffer of FeatureReportByteLength
// bytes. TooShort, and nothing sent, when that length cannot hold the command.
GeneratorOutcome SendFrequency(DeviceSession& session, ApiDeclarations& api, std::int32_t hertz);
GeneratorOutcome SendAmplitude(DeviceSession& session, ApiDeclarations& api, std::int16_t index);

}  // namespace tarvo
