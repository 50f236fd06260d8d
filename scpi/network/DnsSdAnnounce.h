// Announces the server on the local network by DNS-SD: one instance name, a service record for each protocol
// it serves beyond the loopback (LXI's SCPI-RAW, HiSLIP, VXI-11 and web page types), with the TXT keys LXI
// discovery tools read. The build picks the source: DnsSdAnnounce_avahi.cpp (through avahi-daemon, where
// libavahi-client is) or DnsSdAnnounce_none.cpp (announces nothing). Announcing is never needed to serve: every
// failure is only told to `log` (one line each, for -v).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::scpi {

// One service record: its type ("_scpi-raw._tcp"), port and TXT strings ("key=value").
struct DnsSdService {
    std::string type;
    std::uint16_t port = 0;
    std::vector<std::string> txt;

    bool operator==(const DnsSdService&) const = default;
};

// What the records say of the instrument: the *IDN? fields of the generator served (nothing when none is
// attached at the start).
struct DnsSdIdentity {
    std::string manufacturer, model, serialNumber, firmwareVersion;
};

// The records for the listeners reachable from the network, given as (protocol, port), each protocol once at
// its first port: scpi-raw as _scpi-raw._tcp, hislip as _hislip._tcp and vxi11 as _vxi-11._tcp, each with
// txtvers=1 and the *IDN? keys; http as _http._tcp (txtvers=1, path=/) and _lxi._tcp (the *IDN? keys).
std::vector<DnsSdService> DnsSdServices(const std::vector<std::pair<std::string, std::uint16_t>>& exposed,
                                        const std::optional<DnsSdIdentity>& identity);

class DnsSdAnnouncement {
public:
    // Announces every service under `name`, on every interface, until destroyed. While avahi-daemon is not
    // running it waits for it; when the name is taken on the network, it takes Avahi's next alternative
    // ("... #2") for all of them.
    DnsSdAnnouncement(std::string name, std::vector<DnsSdService> services,
                      std::function<void(const std::string&)> log);
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
