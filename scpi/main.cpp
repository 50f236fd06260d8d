// tarvo-pulse-scpi: each pulse generator as a SCPI instrument on the network, for the bench tools that speak SCPI
// (see tarvo-pulse-scpi.1). The language runs each session's messages, the bench holds the generators, the
// network moves the bytes, one listener per protocol.
#include "ctl/ConsoleArguments.h"
#include "device/PlatformFactory.h"
#include "device/SimulatedPlatform.h"
#include "scpi/device/GeneratorBench.h"
#include "scpi/network/DnsSdAnnounce.h"
#include "scpi/network/HostName.h"
#include "scpi/network/HttpConnection.h"
#include "scpi/network/WebSite.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/network/Hislip.h"
#include "scpi/network/Listeners.h"
#include "scpi/network/RawSocket.h"
#include "scpi/network/Server.h"
#include "scpi/network/Vxi11Service.h"

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifndef TARVO_VERSION
#define TARVO_VERSION "unknown"
#endif

namespace tarvo::scpi {
namespace {

constexpr std::string_view PROGRAM = "tarvo-pulse-scpi";

constexpr int EXIT_STOPPED = 0;     // stopped on request
constexpr int EXIT_FAILED = 1;      // could not listen, or the network failed
constexpr int EXIT_BAD_USAGE = 2;

struct CommandLine {
    std::vector<ListenAddress> listen;
    std::optional<std::string> serial;
    bool simulate = false;
    std::vector<std::string> simulated;  // the serial numbers after --simulate
    bool verbose = false;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string message;
};

std::string Usage() {
    return "Usage: " + std::string(PROGRAM) +
           " [--listen [PROTOCOL://]HOST:PORT]... [-s SERIAL] [--simulate [SERIAL...]] [-v]\n"
           "\n"
           "Serves Tarvo Pulse Generators as SCPI instruments on raw TCP sockets (\"SCPI-RAW\", port 5025), one\n"
           "session per connection: PyVISA (TCPIP::HOST::5025::SOCKET, read_termination='\\n'), PyMeasure,\n"
           "lxi scpi -r, or any client that sends lines; over VXI-11 (TCPIP::HOST::INSTR, lxi scpi), one\n"
           "session per link, found through the portmapper on port 111 (its own, or a running rpcbind); and\n"
           "over HiSLIP (port 4880), as VISA's TCPIP::HOST::hislip0::INSTR.\n"
           "\n"
           "Options:\n"
           "      --listen [PROTOCOL://]HOST:PORT\n"
           "                           listen there instead of 127.0.0.1:5025 and [::1]:5025 (repeatable);\n"
           "                           PROTOCOL is scpi-raw (the default), vxi11 (PORT: the core channel's,\n"
           "                           0 for any free one; the portmapper goes on HOST:111), hislip (also\n"
           "                           on port 4880 of the loopback when no --listen is given) or http (the\n"
           "                           web page; also on port 80 of the loopback where it may have it); an\n"
           "                           IPv6 address in brackets; 0.0.0.0:5025 opens it to the network\n"
           "  -s, --serial SERIAL      serve only the generator with this serial number\n"
           "      --simulate [SERIAL...]  simulated generators with these serial numbers (default " +
           std::string(DEFAULT_SIMULATED_SERIAL) + "),\n"
           "                           and the SIMulate commands that plug and unplug them\n"
           "  -v, --verbose            log each session's messages and errors on standard error\n"
           "  -h, --help               print this text\n"
           "      --version            print the version\n"
           "\n"
           "Under systemd (socket activation, Accept=no) it serves the listening sockets it is handed instead.\n"
           "SIGTERM or Ctrl+C: stops accepting, sends the answers already made, closes the generators, exits 0.\n"
           "\n"
           "Exit status: 0 stopped on request; 1 could not listen or serve; 2 bad usage.\n";
}

// The protocols this server serves, and where each listens when no --listen is given.
struct ProtocolDefault {
    const char* protocol;
    std::uint16_t port;
};
constexpr ProtocolDefault PROTOCOLS[] = {{SCPI_RAW, SCPI_RAW_PORT}, {VXI11, 0}, {HISLIP, hislip::DEFAULT_PORT},
                                         {HTTP, 80}};

bool Served(const std::string& protocol) {
    return std::any_of(std::begin(PROTOCOLS), std::end(PROTOCOLS),
                       [&](const ProtocolDefault& p) { return protocol == p.protocol; });
}

std::string ServedProtocols() {
    std::string list;
    for (const ProtocolDefault& p : PROTOCOLS) list += (list.empty() ? "" : ", ") + std::string(p.protocol);
    return list;
}

// What every protocol's handlers share: the generators, the one lock, the log.
struct Shared {
    Instruments& instruments;
    InstrumentLock& lock;
    std::function<void(const std::string&)> log;
    bool verbose = false;
    std::unique_ptr<Vxi11Service> vxi11;  // made with the first VXI-11 socket
    WebSite* web = nullptr;
};

Vxi11Service& Vxi11(Shared& shared) {
    if (!shared.vxi11) shared.vxi11 = std::make_unique<Vxi11Service>(shared.instruments, shared.lock, shared.log,
                                                                     shared.verbose);
    return *shared.vxi11;
}

// The listener of one protocol on a socket that is open already (TCP listening, or UDP).
std::optional<Listener> ServeOn(const std::string& protocol, net::Socket socket, bool datagram, Shared& shared) {
    if (protocol == SCPI_RAW && !datagram)
        return Listener{socket, protocol, RawSocketConnections(shared.instruments, shared.lock, shared.log,
                                                               shared.verbose), nullptr};
    if (protocol == VXI11 || protocol == VXI11_PORTMAPPER)
        return Vxi11(shared).ServeHandedOver(protocol, socket, datagram);
    if (protocol == HISLIP && !datagram)
        return Listener{socket, protocol, HislipConnections(shared.instruments, shared.lock, shared.log, shared.verbose),
                        nullptr};
    if (protocol == HTTP && !datagram && shared.web)
        return Listener{socket, protocol, HttpHandlerFactory(*shared.web, HttpTimeouts{}, shared.log), nullptr};
    return std::nullopt;
}

// Opens the sockets of one --listen address (or default) and gives them their protocol's handlers. Nothing,
// with the reason in `error`, when they cannot all be opened.
bool Open(const ListenAddress& address, Shared& shared, std::vector<Listener>& listeners, std::string& error) {
    if (address.protocol == VXI11) return Vxi11(shared).Open(address, listeners, error);
    std::vector<net::Socket> opened = OpenListeners(address, error);
    if (opened.empty()) return false;
    for (net::Socket socket : opened) listeners.push_back(*ServeOn(address.protocol, socket, false, shared));
    return true;
}

CommandLine Parse(const std::vector<std::string>& args) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        // The value of an option that takes one: after "=" or as the next argument.
        auto value = [&]() -> std::string {
            if (equals != std::string::npos) return arg.substr(equals + 1);
            if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
            return args[++i];
        };
        auto flag = [&](bool& field) {
            if (equals != std::string::npos) throw UsageError{name + " takes no value"};
            field = true;
        };
        if (name == "--listen") {
            const std::string text = value();
            const std::optional<ListenAddress> address = ParseListenAddress(text);
            if (!address)
                throw UsageError{"--listen \"" + text +
                                 "\" is not [PROTOCOL://]HOST:PORT (PROTOCOL scpi-raw, hislip, vxi11 or http; an IPv6 "
                                 "address in brackets: [::1]:5025)"};
            if (!Served(address->protocol))
                throw UsageError{"--listen \"" + text + "\": this server does not serve " + address->protocol +
                                 " yet; it serves " + ServedProtocols()};
            line.listen.push_back(*address);
        } else if (name == "-s" || name == "--serial") {
            if (line.serial) throw UsageError{"--serial is given twice"};
            line.serial = value();
            if (line.serial->empty()) throw UsageError{"--serial needs a serial number"};
        } else if (name == "--simulate") {
            if (line.simulate) throw UsageError{"--simulate is given twice"};
            line.simulate = true;
            if (equals != std::string::npos) line.simulated.push_back(arg.substr(equals + 1));
            while (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
                line.simulated.push_back(args[++i]);
        } else if (name == "-v" || name == "--verbose") {
            flag(line.verbose);
        } else if (name == "-h" || name == "--help") {
            flag(line.help);
        } else if (name == "--version") {
            flag(line.version);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option \"" + arg + "\""};
        } else {
            throw UsageError{"unexpected argument \"" + arg + "\""};
        }
    }
    for (auto serial = line.simulated.begin(); serial != line.simulated.end(); ++serial) {
        if (serial->empty()) throw UsageError{"--simulate needs non-empty serial numbers"};
        if (std::find(line.simulated.begin(), serial, *serial) != serial)
            throw UsageError{"--simulate names \"" + *serial + "\" twice"};
    }
    return line;
}

std::ostream& Error() { return std::cerr << PROGRAM << ": "; }

// The listeners: the sockets a service manager handed over (each named after its protocol by FileDescriptorName=;
// one its unit names not, which systemd calls after the unit, serves scpi-raw), else those of --listen, else each protocol on the loopback at its usual port (where
// the system has no IPv6, IPv4 alone; a protocol other than scpi-raw that cannot have its port is left out with
// a word on what would serve it).
std::optional<std::vector<Listener>> Listen(const CommandLine& line, Shared& shared) {
    std::string error;
    std::vector<net::HandedOver> handed = net::HandedOverSockets(error);
    if (!error.empty()) {
        Error() << error << '\n';
        return std::nullopt;
    }
    std::vector<Listener> listeners;
    if (!handed.empty()) {
        if (!line.listen.empty())
            Error() << "--listen is ignored: serving the sockets the service manager handed over\n";
        for (const net::HandedOver& socket : handed) {
            const bool unnamed = socket.name == "unknown" || socket.name.ends_with(".socket");
            const std::string protocol = unnamed ? SCPI_RAW : socket.name;
            if (std::optional<Listener> listener = ServeOn(protocol, socket.socket, socket.datagram, shared)) {
                listeners.push_back(std::move(*listener));
            } else {
                Error() << "the socket named \"" << socket.name << "\" that the service manager handed over is "
                        << "not one this server serves (" << ServedProtocols() << "); it is closed\n";
                net::CloseSocket(socket.socket);
            }
        }
        return listeners;
    }
    const auto fail = [&](const std::string& why) -> std::optional<std::vector<Listener>> {
        Error() << why << '\n';
        for (const Listener& listener : listeners) net::CloseSocket(listener.socket);
        return std::nullopt;
    };
    if (!line.listen.empty()) {
        for (const ListenAddress& address : line.listen)
            if (!Open(address, shared, listeners, error)) return fail(error);
        return listeners;
    }
    for (const ProtocolDefault& p : PROTOCOLS) {
        const std::size_t before = listeners.size();
        if (!Open({"127.0.0.1", p.port, p.protocol}, shared, listeners, error)) {
            if (std::string(p.protocol) == SCPI_RAW) return fail(error);
            Error() << error << " (" << p.protocol << " is not served; --listen " << p.protocol
                    << "://127.0.0.1:PORT serves it on another port)\n";
            continue;
        }
        if (!Open({"::1", p.port, p.protocol}, shared, listeners, error) && listeners.size() > before)
            Error() << error << " (serving " << p.protocol << " on IPv4 only)\n";
    }
    return listeners;
}

// Says where it listens (a protocol other than scpi-raw named before its address), and once, when other machines
// can reach it, what that means.
void Announce(const std::vector<Server::Listening>& sockets, const CommandLine& line) {
    std::string where, exposed;
    for (const Server::Listening& socket : sockets) {
        const std::string text = (socket.protocol == SCPI_RAW ? "" : socket.protocol + "://") +
                                 net::EndpointText(socket.endpoint) + (socket.datagram ? " (UDP)" : "");
        where += (where.empty() ? "" : ", ") + text;
        if (!IsLoopback(socket.endpoint)) exposed += (exposed.empty() ? "" : ", ") + text;
    }
    std::cerr << PROGRAM << ' ' << TARVO_VERSION << ": listening on " << where;
    if (line.simulate) std::cerr << " (simulated generators)";
    std::cerr << '\n';
    if (!exposed.empty()) {
        Error() << "warning: " << exposed << " can be reached from the network: anyone who can reach "
                << (exposed.find(',') == std::string::npos ? "that address" : "those addresses")
                << " can change the generator's output\n";
    }
}

// Reachable from the network: announced by DNS-SD while it serves, a record for each protocol reachable so,
// named after the generators it serves now; nothing otherwise. Whatever goes wrong there is told with -v only.
std::unique_ptr<DnsSdAnnouncement> AnnounceOnNetwork(const std::vector<Server::Listening>& sockets,
                                                     const CommandLine& line, Instruments& instruments) {
    std::vector<std::pair<std::string, std::uint16_t>> exposed;
    for (const Server::Listening& socket : sockets)
        if (!IsLoopback(socket.endpoint) && !socket.datagram) exposed.emplace_back(socket.protocol, socket.endpoint.port);
    if (exposed.empty()) return nullptr;
    const std::vector<std::string> serials = line.serial ? std::vector<std::string>{*line.serial} : instruments.Catalog();
    std::optional<DnsSdIdentity> identity;
    const Instruments::Choice chosen = instruments.DefaultGenerator();
    InstrumentIdentity read;
    if (chosen.serial && instruments.Identity(*chosen.serial, read).outcome == InstrumentOutcome::Done)
        identity = DnsSdIdentity{read.manufacturer.value_or("0"), read.product.value_or("0"), *chosen.serial,
                                 read.version.value_or("0")};
    std::function<void(const std::string&)> log;
    if (line.verbose) log = [](const std::string& text) { std::cerr << text << '\n'; };
    return std::make_unique<DnsSdAnnouncement>(DnsSdInstanceName(serials), DnsSdServices(exposed, identity),
                                               std::move(log));
}

int Serve(const CommandLine& line) {
    std::string error;
    if (!net::StartSockets(error)) {
        Error() << error << '\n';
        return EXIT_FAILED;
    }

    std::unique_ptr<SimulatedPlatform> simulated;
    std::unique_ptr<ApiDeclarations> system;
    if (line.simulate)
        simulated = std::make_unique<SimulatedPlatform>();
    else
        system = MakeSystemPlatform();
    ApiDeclarations& api = simulated ? static_cast<ApiDeclarations&>(*simulated) : *system;
    GeneratorBench bench(api, line.serial, simulated.get());
    if (simulated) {
        const std::vector<std::string> serials =
            line.simulated.empty() ? std::vector<std::string>{DEFAULT_SIMULATED_SERIAL} : line.simulated;
        for (const std::string& serial : serials) {
            if (!bench.PlugSimulated(serial)) {
                Error() << "cannot plug the simulated generator \"" << serial << "\"\n";
                return EXIT_FAILED;
            }
        }
    }

    InstrumentLock lock;
    WebSite web(bench, lock, {HostName(), {}});
    Shared shared{bench, lock, [](const std::string& text) { std::cerr << text << '\n'; }, line.verbose, nullptr, &web};
    std::optional<std::vector<Listener>> listeners = Listen(line, shared);
    if (!listeners) return EXIT_FAILED;
    Server server(std::move(*listeners));
    server.log = shared.log;
    if (!server.StopOnRequest()) Error() << "warning: cannot catch the stop signals; a stop ends it at once\n";
    Announce(server.ListeningSockets(), line);
    web.Serving(server.ListeningSockets());
    if (const std::string url = web.PageUrl(); !url.empty()) std::cerr << PROGRAM << ": web page at " << url << '\n';
    const std::unique_ptr<DnsSdAnnouncement> dnsSd = AnnounceOnNetwork(server.ListeningSockets(), line, bench);

    const bool served = server.Run();
    bench.CloseAll();
    std::cerr << PROGRAM << ": stopped\n";
    return served ? EXIT_STOPPED : EXIT_FAILED;
}

int Main(const std::vector<std::string>& args) {
    CommandLine line;
    try {
        line = Parse(args);
    } catch (const UsageError& e) {
        Error() << e.message << '\n';
        std::cerr << "Try '" << PROGRAM << " --help'.\n";
        return EXIT_BAD_USAGE;
    }
    if (line.help) {
        std::cout << Usage();
        return EXIT_STOPPED;
    }
    if (line.version) {
        std::cout << PROGRAM << ' ' << TARVO_VERSION << '\n';
        return EXIT_STOPPED;
    }
    try {
        return Serve(line);
    } catch (const std::exception& e) {
        Error() << e.what() << '\n';
        return EXIT_FAILED;
    }
}

}  // namespace
}  // namespace tarvo::scpi

int main(int argc, char** argv) { return tarvo::scpi::Main(tarvo::ConsoleArguments(argc, argv)); }
