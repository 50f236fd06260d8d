// tarvo-pulse-scpi: each pulse generator as a SCPI instrument on a raw TCP socket (port 5025), for the bench tools
// that speak SCPI (see tarvo-pulse-scpi.1). The language runs each connection's messages, the bench holds the
// generators, the network moves the bytes.
#include "ctl/ConsoleArguments.h"
#include "device/PlatformFactory.h"
#include "device/SimulatedPlatform.h"
#include "scpi/device/GeneratorBench.h"
#include "scpi/language/ScpiSession.h"
#include "scpi/network/DnsSdAnnounce.h"
#include "scpi/network/Listeners.h"
#include "scpi/network/Server.h"

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
    return "Usage: " + std::string(PROGRAM) + " [--listen HOST:PORT]... [-s SERIAL] [--simulate [SERIAL...]] [-v]\n"
           "\n"
           "Serves Tarvo Pulse Generators as SCPI instruments on raw TCP sockets (\"SCPI-RAW\", port 5025), one\n"
           "session per connection: PyVISA (TCPIP::HOST::5025::SOCKET, read_termination='\\n'), PyMeasure,\n"
           "lxi scpi -r, or any client that sends lines.\n"
           "\n"
           "Options:\n"
           "      --listen HOST:PORT   listen there instead of 127.0.0.1:5025 and [::1]:5025 (repeatable);\n"
           "                           an IPv6 address in brackets; 0.0.0.0:5025 opens it to the network\n"
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
                                 "\" is not HOST:PORT (an IPv6 address in brackets: [::1]:5025)"};
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

// The listening sockets: those a service manager handed over, else those of --listen, else the loopback
// defaults (where the system has no IPv6, IPv4 alone).
std::optional<std::vector<net::Socket>> Listen(const CommandLine& line) {
    std::string error;
    std::vector<net::Socket> sockets = net::HandedOverListeners(error);
    if (!error.empty()) {
        Error() << error << '\n';
        return std::nullopt;
    }
    if (!sockets.empty()) {
        if (!line.listen.empty())
            Error() << "--listen is ignored: serving the sockets the service manager handed over\n";
        return sockets;
    }
    const bool defaults = line.listen.empty();
    const std::vector<ListenAddress> addresses =
        defaults ? std::vector<ListenAddress>{{"127.0.0.1", SCPI_RAW_PORT}, {"::1", SCPI_RAW_PORT}} : line.listen;
    for (const ListenAddress& address : addresses) {
        std::vector<net::Socket> opened = OpenListeners(address, error);
        if (opened.empty() && defaults && address.host == "::1" && !sockets.empty()) {
            Error() << error << " (serving IPv4 only)\n";
            continue;
        }
        if (opened.empty()) {
            Error() << error << '\n';
            for (net::Socket socket : sockets) net::CloseSocket(socket);
            return std::nullopt;
        }
        sockets.insert(sockets.end(), opened.begin(), opened.end());
    }
    return sockets;
}

// Says where it listens, and once, when other machines can reach it, what that means.
void Announce(const std::vector<net::Endpoint>& endpoints, const CommandLine& line) {
    std::string where, exposed;
    for (const net::Endpoint& endpoint : endpoints) {
        const std::string text = net::EndpointText(endpoint);
        where += (where.empty() ? "" : ", ") + text;
        if (!IsLoopback(endpoint)) exposed += (exposed.empty() ? "" : ", ") + text;
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

// Reachable from the network: announced by DNS-SD while it serves, on the first such socket's port and named
// after the generators it serves now; nothing otherwise. Whatever goes wrong there is told with -v only.
std::unique_ptr<DnsSdAnnouncement> AnnounceOnNetwork(const std::vector<net::Endpoint>& endpoints,
                                                     const CommandLine& line, GeneratorBench& bench) {
    const auto exposed = std::find_if(endpoints.begin(), endpoints.end(),
                                      [](const net::Endpoint& endpoint) { return !IsLoopback(endpoint); });
    if (exposed == endpoints.end()) return nullptr;
    const std::vector<std::string> serials = line.serial ? std::vector<std::string>{*line.serial} : bench.Catalog();
    std::function<void(const std::string&)> log;
    if (line.verbose) log = [](const std::string& text) { std::cerr << text << '\n'; };
    return std::make_unique<DnsSdAnnouncement>(DnsSdInstanceName(serials), exposed->port, std::move(log));
}

int Serve(const CommandLine& line) {
    std::string error;
    if (!net::StartSockets(error)) {
        Error() << error << '\n';
        return EXIT_FAILED;
    }
    std::optional<std::vector<net::Socket>> listeners = Listen(line);
    if (!listeners) return EXIT_FAILED;

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
                for (net::Socket socket : *listeners) net::CloseSocket(socket);
                return EXIT_FAILED;
            }
        }
    }

    const bool verbose = line.verbose;
    InstrumentLock lock;
    Server server(std::move(*listeners), [&bench, &lock, verbose](const ConnectionInfo& connection) -> ConnectionHandler {
        auto session = std::make_shared<ScpiSession>(bench, lock);
        if (verbose) {
            session->log = [number = connection.number](const std::string& text) {
                std::cerr << '[' << number << "] " << text << '\n';
            };
        }
        return [session](std::string_view bytes) { return session->Receive(bytes); };
    });
    server.log = [](const std::string& text) { std::cerr << text << '\n'; };
    if (!server.StopOnRequest()) Error() << "warning: cannot catch the stop signals; a stop ends it at once\n";
    Announce(server.ListeningOn(), line);
    const std::unique_ptr<DnsSdAnnouncement> dnsSd = AnnounceOnNetwork(server.ListeningOn(), line, bench);

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
