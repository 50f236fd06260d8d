// One program's hold on a pulse generator, for every program outside the window (tarvo-pulse-ctl, the SCPI
// server, test probes): the window's walk and open, the window's frames, and each operation's own result. It
// owns its handles and closes them when it closes or goes; it knows nothing of the window's flags.
#pragma once

#include "ApiDeclarations.h"
#include "DeviceSession.h"
#include "protocol/FeatureReport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// The serial numbers of the attached pulse generators, in walk order, as the window lists them (the window's
// walk, on a record of its own: it may run while any GeneratorSession is open). It leaves nothing open.
std::vector<std::string> ListGenerators(ApiDeclarations& api);

// What became of one request.
enum class GeneratorOutcome {
    Done,        // made, and the system reported success
    NotOpen,     // no generator is open: nothing was made
    TooShort,    // the generator's feature report cannot hold the frame: nothing was made
    Failed,      // made, and the system reported failure
};

struct StatusReading {
    GeneratorOutcome outcome = GeneratorOutcome::NotOpen;
    DeviceStatus status{};  // meaningful only when outcome is Done
};

struct GeneratorIdentity {
    std::optional<std::string> manufacturer;  // nothing when the string could not be read
    std::optional<std::string> product;
    std::optional<std::string> version;       // the window's version text; only when the maker was read
};

class GeneratorSession {
public:
    explicit GeneratorSession(ApiDeclarations& api);
    ~GeneratorSession();  // closes the generator and the read event
    GeneratorSession(const GeneratorSession&) = delete;
    GeneratorSession& operator=(const GeneratorSession&) = delete;

    enum class OpenOutcome {
        Opened,
        NotAttached,  // no attached generator has that serial number
        Failed,       // one is listed, but it could not be opened
    };
    // Closes any open generator, then opens the first attached one whose serial number is `serial` (exactly,
    // letter case counts), as picking it in the window's list does. When that walk finds none, a second walk
    // tells NotAttached (not listed) from Failed (listed, but not opened).
    OpenOutcome Open(const std::string& serial);
    // Closes both handles of the open generator; nothing when none is open.
    void Close();
    bool IsOpen() const;
    // The serial number last opened (kept after Close, empty before the first Open).
    const std::string& Serial() const;
    // The open generator's feature report length in bytes (0 when none is open).
    std::uint16_t FeatureReportLength() const;

    // The maker, product and version strings as the window reads them (without the window's leading space).
    GeneratorIdentity Identity();
    // One status request. Done carries the decoded report. A feature report shorter than STATUS_FRAME_BYTES
    // is TooShort, and no request is made.
    StatusReading ReadStatus();
    // The window's frequency and amplitude frames. The value is sent as given: range checks are the caller's
    // (the amplitude frame carries the index's low 16 bits).
    GeneratorOutcome SendFrequency(std::int32_t hertz);
    GeneratorOutcome SendAmplitude(int index);
    // The defaults as the window's button sends them: the FOUT_DEFAULT_HZ frame, then the VOUT_DEFAULT_INDEX
    // frame; stops at the first request that is not Done and returns its outcome.
    GeneratorOutcome RestoreDefaults();

private:
    ApiDeclarations& api_;
    DeviceSession session_;
    std::string serial_;
};

}  // namespace tarvo
