// The record of one walk and open: through it the window and the device layer share the open pulse generator
// (a GeneratorSession keeps one of its own). The three flags at the end are the window's; nothing in the device
// layer reads them. A record is used on one thread only.
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
    // The window's: false while it is being refreshed, or after the device was lost or switched away from.
    bool RefreshComplete = false;
    // The window's: a status report has been read since the last scan; its commands and switches act only while
    // it is true. The walk sets it false first (Scan_USB_devices): that is what keeps the list's click handler,
    // which the walk's Select runs, from starting a nested open in the window.
    bool SettingsLoaded = false;
};

}  // namespace tarvo
