#include "DeviceIdentity.h"

#include "VersionText.h"
#include "device/DeviceFinder.h"
#include "device/HidString.h"

#include <array>
#include <cstdint>

namespace tarvo {

DeviceIdentity ReadIdentity(DeviceSession& session, ApiDeclarations& api) {
    std::array<std::uint8_t, STRING_BUFFER_BYTES> text{};  // shared by both strings; bytes 100 on stay zero
    using StringRead = BOOL (ApiDeclarations::*)(Handle, std::uint8_t*, std::uint32_t);
    auto read = [&](StringRead call) -> std::optional<std::string> {
        session.LastResult =
            session.ReadHandle == INVALID_HANDLE_VALUE ? 0 : (api.*call)(session.ReadHandle, text.data(), STRING_READ_LENGTH);
        if (session.LastResult == 0) return std::nullopt;
        return HidStringToText(api, text.data(), text.size());
    };
    DeviceIdentity identity;
    identity.manufacturer = read(&ApiDeclarations::HidD_GetManufacturerString);
    if (identity.manufacturer) identity.version = VersionText(session.Attributes.VersionNumber);
    identity.product = read(&ApiDeclarations::HidD_GetProductString);
    return identity;
}

}  // namespace tarvo
