// The open pulse generator's maker, product name and firmware version, as the window shows them.
#pragma once

#include "device/ApiDeclarations.h"
#include "device/DeviceSession.h"

#include <optional>
#include <string>

namespace tarvo {

struct DeviceIdentity {
    std::optional<std::string> manufacturer;  // nothing when the string could not be read
    std::optional<std::string> product;
    std::optional<std::string> version;       // VersionText of the opened device; only when the maker was read
};

// Reads the manufacturer, then the product string on ReadHandle into one shared 201-byte buffer (each read
// offered its first 100 bytes, so at most 50 characters), each result stored in LastResult. With ReadHandle not
// open the reads count as failed without being made.
DeviceIdentity ReadIdentity(DeviceSession& session, ApiDeclarations& api);

}  // namespace tarvo
