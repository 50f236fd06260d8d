#include "DnsSdAnnounce.h"

#include <algorithm>

namespace tarvo::scpi {
namespace {

// A TXT string holds at most 255 bytes.
std::string Entry(const std::string& key, const std::string& value) { return (key + "=" + value).substr(0, 255); }

std::vector<std::string> IdentityKeys(const std::optional<DnsSdIdentity>& identity) {
    std::vector<std::string> txt{"txtvers=1"};
    if (identity) {
        txt.push_back(Entry("Manufacturer", identity->manufacturer));
        txt.push_back(Entry("Model", identity->model));
        txt.push_back(Entry("SerialNumber", identity->serialNumber));
        txt.push_back(Entry("FirmwareVersion", identity->firmwareVersion));
    }
    return txt;
}

}  // namespace

std::vector<DnsSdService> DnsSdServices(const std::vector<std::pair<std::string, std::uint16_t>>& exposed,
                                        const std::optional<DnsSdIdentity>& identity) {
    std::vector<DnsSdService> services;
    std::vector<std::string> done;
    for (const auto& [protocol, port] : exposed) {
        if (std::find(done.begin(), done.end(), protocol) != done.end()) continue;
        done.push_back(protocol);
        if (protocol == "scpi-raw") {
            services.push_back({"_scpi-raw._tcp", port, IdentityKeys(identity)});
        } else if (protocol == "hislip") {
            services.push_back({"_hislip._tcp", port, IdentityKeys(identity)});
        } else if (protocol == "vxi11") {
            services.push_back({"_vxi-11._tcp", port, IdentityKeys(identity)});
        } else if (protocol == "http") {
            services.push_back({"_http._tcp", port, {"txtvers=1", "path=/"}});
            services.push_back({"_lxi._tcp", port, IdentityKeys(identity)});
        }
    }
    return services;
}

}  // namespace tarvo::scpi
