// DNS-SD where the build has no Avahi client library (Windows, or libavahi-client missing): nothing is announced.
#include "DnsSdAnnounce.h"

namespace tarvo::scpi {

struct DnsSdAnnouncement::State {};

DnsSdAnnouncement::DnsSdAnnouncement(std::string, std::vector<DnsSdService>, std::function<void(const std::string&)> log) {
    if (log) {
        log("DNS-SD: not announced (this build has no DNS-SD support)");
    }
}

DnsSdAnnouncement::~DnsSdAnnouncement() = default;

}  // namespace tarvo::scpi
