// The window-level record through which the window, the device layer and the settings protocol share the
// open pulse generator. All of it is used on the window's thread only.
#pragma once

#include "ApiDeclarations.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo {

struct DeviceSession {
    // Capabilities of the opened device; kept until the next successful capability read.
    HIDP_CAPS Caps{};
    // Interface-detail exchange of a walk.
    std::int32_t DetailSize = 0;
    std::vector<std::uint8_t> DetailBuffer;
    // Attributes and path of the candidate last examined; after a successful open, of the opened device.
    HIDD_ATTRIBUTES Attributes{};
    std::string DevicePath;
    // Device-information set, valid only during a walk.
    HDEVINFO DeviceInfoSet = INVALID_HANDLE_VALUE;
    // Event of the read channel: 0 until first created, then kept for the life of the program.
    Handle ReadEvent = 0;
    // Feature-report handle of the opened device; during a walk, the candidate's temporary handle.
    Handle DeviceHandle = INVALID_HANDLE_VALUE;
    OVERLAPPED ReadOverlapped{};
    bool EnumerationDone = false;
    // A device is open: DeviceHandle and ReadHandle belong to it.
    bool DeviceAttached = false;
    SP_DEVICE_INTERFACE_DATA InterfaceData{};
    std::int32_t RequiredSize = 0;
    PreparsedData Preparsed = 0;
    // Overlapped input-report handle of the opened device; also carries the string reads of a refresh.
    Handle ReadHandle = INVALID_HANDLE_VALUE;
    // Return value of the most recent platform call that stores one.
    std::int32_t LastResult = 0;
    SECURITY_ATTRIBUTES Security{};
    // False while the window is being refreshed, or after the device was lost or switched away from.
    bool RefreshComplete = false;
    // A status report has been read since the last scan; commands and switches act only while it is true.
    bool SettingsLoaded = false;
};

// Commands go to the device only while the window is in step with an open device.
inline bool CommandsAllowed(const DeviceSession& s) {
    return s.SettingsLoaded && s.DeviceAttached && s.RefreshComplete;
}

}  // namespace tarvo
