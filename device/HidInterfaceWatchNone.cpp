// HidInterfaceWatch where no hotplug source is used (macOS): every look reports that anything may have changed,
// so every walk enumerates afresh.
#include "HidInterfaceWatch.h"

#include <utility>

namespace tarvo {

HidInterfaceWatch::HidInterfaceWatch(std::string directory) : directory_(std::move(directory)) {}

HidInterfaceWatch::~HidInterfaceWatch() = default;

void HidInterfaceWatch::Stop() {}

HidInterfaceWatch::Changes HidInterfaceWatch::Take() {
    Changes changes;
    changes.unknown = true;
    return changes;
}

bool HidInterfaceWatch::NodePresent(const std::string&) { return true; }

}  // namespace tarvo
