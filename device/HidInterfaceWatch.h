// Which HID interfaces were plugged in, unplugged or changed since the last look: the hotplug source of the
// hidapi layer, which answers a walk from its last enumeration while nothing changed.
//
// On Linux it watches the device nodes with inotify on /dev: the kernel's devtmpfs creates and removes each
// /dev/hidrawN itself, so this works alike with udevd (a desktop, which then also sets the node's owner and
// access, seen as a change of the node) and without it (the real-kernel test's guest, containers that share
// /dev). Elsewhere there is no watch, and every look reports that anything may have changed.
#pragma once

#include <string>
#include <vector>

namespace tarvo {

class HidInterfaceWatch {
public:
    // Watches the HID device nodes in directory (the system's /dev; tests give another).
    explicit HidInterfaceWatch(std::string directory = "/dev");
    ~HidInterfaceWatch();
    HidInterfaceWatch(const HidInterfaceWatch&) = delete;
    HidInterfaceWatch& operator=(const HidInterfaceWatch&) = delete;

    struct Changes {
        // The watch cannot tell what changed (there is no watch, it was lost, or events were dropped): take
        // every interface as changed.
        bool unknown = false;
        // Paths of the interfaces that appeared, disappeared or changed (owner, access), in no particular order.
        std::vector<std::string> paths;
    };

    // What changed since the last call (or since the watch began). One system call when nothing did.
    Changes Take();

    // Whether the watch is working: while it is not, Take always reports unknown.
    bool Active() const { return fd_ >= 0; }

    // Whether the interface's node is there. An interface being unplugged leaves /dev a moment before the
    // kernel's device list that enumeration reads: an enumeration made in between still lists it.
    static bool NodePresent(const std::string& path);

private:
    void Stop();

    [[maybe_unused]] std::string directory_;  // unused where there is no watch
    int fd_ = -1;
};

}  // namespace tarvo
