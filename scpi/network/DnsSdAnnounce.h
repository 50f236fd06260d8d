// Announces the server on the local network by DNS-SD as a `_scpi-raw._tcp` service (LXI's SCPI-RAW), so that
// `lxi discover -m` and other browsers find it. The build picks the source: DnsSdAnnounce_avahi.cpp (through
// avahi-daemon, where libavahi-client is) or DnsSdAnnounce_none.cpp (announces nothing). Announcing is never
// needed to serve: every failure is only told to `log` (one line each, for -v).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::scpi {

inline constexpr const char* DNS_SD_SERVICE_TYPE = "_scpi-raw._tcp";

class DnsSdAnnouncement {
public:
    // Announces `name` on `port`, on every interface, until destroyed. While avahi-daemon is not running it
    // waits for it; when the name is taken on the network, it takes Avahi's next alternative ("... #2").
    DnsSdAnnouncement(std::string name, std::uint16_t port, std::function<void(const std::string&)> log);
    ~DnsSdAnnouncement();
    DnsSdAnnouncement(const DnsSdAnnouncement&) = delete;
    DnsSdAnnouncement& operator=(const DnsSdAnnouncement&) = delete;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// The instance name for the generators' serial numbers: "Tarvo Pulse Generator TPG-000123" (several joined by
// ", "), cut to DNS-SD's 63 bytes.
inline std::string DnsSdInstanceName(const std::vector<std::string>& serials) {
    std::string name = "Tarvo Pulse Generator";
    for (std::size_t i = 0; i < serials.size(); ++i) {
        name += (i == 0 ? " " : ", ") + serials[i];
    }
    return name.substr(0, 63);
}

}  // namespace tarvo::scpi
