// The SCPI server's speed, each figure against its floor measured in the same run on this machine:
// - a FREQ? round trip from one client on a simulated generator (median, 99th percentile) against a bare TCP
//   echo over the loopback (a poll loop in a process of its own, as the server is);
// - set-and-read pairs (FREQ 12345678;:FREQ?) per second from one client, and from 64 clients at once (total
//   answers per second, 99th percentile), against the echo with the same messages;
// - the same reading through tarvo-pulse-ctl status (a process per reading, on the simulated platform) against
//   the server's round trip and against starting a process that does nothing (/bin/true);
// - the server's resident memory idle and after the 64 clients have gone;
// - a FREQ? query over HiSLIP (DataEnd, then the DataEnd answer) against the echo's round trip, and the memory
//   with 64 HiSLIP sessions open and after they have gone.
//
//   tarvo_scpi_bench [ROUND_TRIPS]
#include "bench_support.h"

#include <atomic>
#include <cstdint>
#include <csignal>
#include <memory>
#include <thread>
#include <utility>

namespace {

using namespace bench;
constexpr int CLIENTS = 64;
const std::string PAIR = "FREQ 12345678;:FREQ?\n";

// One blocking client connection, whole lines in.
class Connection : public LoopbackConnection {
public:
    using LoopbackConnection::LoopbackConnection;
    std::string Ask(const std::string& message) {
        Send(message);
        return TakeLine();
    }
};

// Latencies of `count` exchanges of `message` on one connection, in microseconds; `expect` (when given) is
// the only reply accepted.
std::vector<double> Exchanges(Connection& c, const std::string& message, int count, const std::string* expect) {
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const std::string reply = c.Ask(message);
        latencies.push_back(Micros(Clock::now() - start));
        if (expect && reply != *expect) {
            std::string what = message.substr(0, message.size() - 1);  // without its LF
            what += " answered '" + reply + "'";
            Die(what);
        }
    }
    return latencies;
}

// A HiSLIP session (synchronized mode): its two connections, opened with Initialize and AsyncInitialize.
class HislipSession {
public:
    explicit HislipSession(unsigned short port) : sync_(port) {
        const Message init = sync_.Exchange(Encode(0, 0x01007A7A, "hislip0"));
        if (init.type != 1) Die("HiSLIP Initialize answered with message type " + std::to_string(init.type));
        async_ = std::make_unique<Raw>(port);
        if (async_->Exchange(Encode(17, init.parameter & 0xFFFF, "")).type != 18) Die("HiSLIP AsyncInitialize failed");
    }
    // One message with DataEnd; the answer's text (Data messages up to a DataEnd).
    std::string Query(const std::string& message) {
        messageId_ += 2;
        sync_.Send(Encode(7, messageId_, message));
        std::string answer;
        for (;;) {
            const Message m = sync_.Read();
            if (m.type != 6 && m.type != 7) Die("HiSLIP answered with message type " + std::to_string(m.type));
            answer += m.payload;
            if (m.type == 7) return answer;
        }
    }

private:
    struct Message {
        int type = 0;
        std::uint32_t parameter = 0;
        std::string payload;
    };
    static std::string Encode(int type, std::uint32_t parameter, const std::string& payload) {
        std::string m = "HS";
        m += static_cast<char>(type);
        m += '\0';
        for (int shift = 24; shift >= 0; shift -= 8) m += static_cast<char>((parameter >> shift) & 0xFF);
        for (int shift = 56; shift >= 0; shift -= 8)
            m += static_cast<char>((static_cast<std::uint64_t>(payload.size()) >> shift) & 0xFF);
        return m + payload;
    }
    class Raw : public LoopbackConnection {
    public:
        using LoopbackConnection::LoopbackConnection;
        Message Read() {
            const std::string h = Take(16);
            if (h.compare(0, 2, "HS") != 0) Die("not a HiSLIP header");
            Message m;
            m.type = static_cast<unsigned char>(h[2]);
            std::uint64_t length = 0;
            for (int i = 4; i < 8; ++i) m.parameter = (m.parameter << 8) | static_cast<unsigned char>(h[i]);
            for (int i = 8; i < 16; ++i) length = (length << 8) | static_cast<unsigned char>(h[i]);
            if (length > 65536) Die("a HiSLIP answer longer than any this bench asks for");
            m.payload = Take(static_cast<std::size_t>(length));
            return m;
        }
        Message Exchange(const std::string& bytes) {
            Send(bytes);
            return Read();
        }
    };

    Raw sync_;
    std::unique_ptr<Raw> async_;
    std::uint32_t messageId_ = 0xFFFFFF00 - 2;
};

// Milliseconds from starting the command to its exit, which must be 0.
double RunMs(const std::vector<std::string>& command) {
    const auto start = Clock::now();
    const pid_t pid = Spawn(command);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die(command[0] + " failed");
    return Micros(Clock::now() - start) / 1000;
}

struct Load {
    double answersPerSecond;
    double p99;
};

// CLIENTS connections at once, each `count` exchanges of `message`.
Load Together(unsigned short port, const std::string& message, int count, const std::string* expect) {
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < CLIENTS; ++i) connections.push_back(std::make_unique<Connection>(port));
    std::vector<std::vector<double>> latencies(CLIENTS);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < CLIENTS; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            latencies[static_cast<std::size_t>(i)] = Exchanges(*connections[static_cast<std::size_t>(i)], message,
                                                               count, expect);
        });
    }
    const auto start = Clock::now();
    go = true;
    for (std::thread& t : threads) t.join();
    const double seconds = Micros(Clock::now() - start) / 1e6;
    std::vector<double> all;
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    return {static_cast<double>(all.size()) / seconds, Percentile(all, 0.99)};
}

double PerSecond(const std::vector<double>& latencies) {
    double total = 0;
    for (double l : latencies) total += l;
    return static_cast<double>(latencies.size()) / (total / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    const Child echo = StartEcho();
    unsigned short hislipPort = 0;
    const Child server = StartListening([&hislipPort](unsigned short port) {
        hislipPort = FreePort();
        return std::vector<std::string>{TARVO_SCPI_SERVER, "--listen", "127.0.0.1:" + std::to_string(port), "--listen",
                                        "hislip://127.0.0.1:" + std::to_string(hislipPort), "--simulate"};
    });
    const std::string pairAnswer = "12345678";

    // Warm both, then alternate blocks so that both see the same machine.
    std::vector<double> serverRtt, echoRtt, serverPairs, echoPairs;
    {
        Connection s(server.port), e(echo.port);
        Exchanges(s, "FREQ?\n", 1000, nullptr);
        Exchanges(e, "FREQ?\n", 1000, nullptr);
        for (int block = 0; block < 10; ++block) {
            for (auto [c, out] : {std::pair{&s, &serverRtt}, std::pair{&e, &echoRtt}}) {
                const auto l = Exchanges(*c, "FREQ?\n", roundTrips / 10, nullptr);
                out->insert(out->end(), l.begin(), l.end());
            }
            const auto sp = Exchanges(s, PAIR, roundTrips / 10, &pairAnswer);
            const auto ep = Exchanges(e, PAIR, roundTrips / 10, nullptr);
            serverPairs.insert(serverPairs.end(), sp.begin(), sp.end());
            echoPairs.insert(echoPairs.end(), ep.begin(), ep.end());
        }
    }
    // FREQ? over HiSLIP, alternating with the echo in the same way.
    std::vector<double> hislipRtt, hislipEchoRtt;
    {
        HislipSession h(hislipPort);
        Connection e(echo.port);
        for (int i = 0; i < 1000; ++i) h.Query("FREQ?\n");
        for (int block = 0; block < 10; ++block) {
            for (int i = 0; i < roundTrips / 10; ++i) {
                const auto start = Clock::now();
                h.Query("FREQ?\n");
                hislipRtt.push_back(Micros(Clock::now() - start));
            }
            const auto l = Exchanges(e, "FREQ?\n", roundTrips / 10, nullptr);
            hislipEchoRtt.insert(hislipEchoRtt.end(), l.begin(), l.end());
        }
    }
    usleep(300000);
    const long rssIdle = ResidentKiB(server.pid);
    const int perClient = std::max(10, roundTrips / 40);
    const Load serverLoad = Together(server.port, PAIR, perClient, &pairAnswer);
    const Load echoLoad = Together(echo.port, PAIR, perClient, nullptr);
    usleep(500000);
    const long rssAfter = ResidentKiB(server.pid);
    long rssHislipOpen = 0;
    {
        std::vector<std::unique_ptr<HislipSession>> sessions;
        for (int i = 0; i < CLIENTS; ++i) {
            sessions.push_back(std::make_unique<HislipSession>(hislipPort));
            sessions.back()->Query("FREQ?\n");
        }
        rssHislipOpen = ResidentKiB(server.pid);
    }
    usleep(500000);
    const long rssHislipAfter = ResidentKiB(server.pid);

    // A reading through the command-line program, a process each, against a process that does nothing.
    std::vector<double> ctl, bare;
    RunMs({TARVO_CTL_SIMULATED, "status"});
    for (int i = 0; i < 101; ++i) {
        ctl.push_back(RunMs({TARVO_CTL_SIMULATED, "status"}));
        bare.push_back(RunMs({"/bin/true"}));
    }
    Stop(server);
    Stop(echo);

    const double sMed = Percentile(serverRtt, 0.5), eMed = Percentile(echoRtt, 0.5);
    const double sP99 = Percentile(serverRtt, 0.99), eP99 = Percentile(echoRtt, 0.99);
    std::printf("SCPI server, %d round trips each, against a bare TCP echo over the loopback:\n", roundTrips);
    std::printf("  FREQ? round trip, one client: median %.1f us (echo %.1f us, ratio %.2f); 99th percentile %.1f us "
                "(echo %.1f us, ratio %.2f)\n", sMed, eMed, sMed / eMed, sP99, eP99, sP99 / eP99);
    const double sRate = PerSecond(serverPairs), eRate = PerSecond(echoPairs);
    std::printf("  FREQ 12345678;:FREQ? pairs, one client: %.0f per second (echo %.0f, ratio %.2f)\n", sRate, eRate,
                eRate / sRate);
    std::printf("  the same pairs from %d clients at once, %d each: %.0f answers per second (echo %.0f, ratio %.2f); "
                "99th percentile %.1f us (echo %.1f us, ratio %.2f)\n", CLIENTS, perClient,
                serverLoad.answersPerSecond, echoLoad.answersPerSecond,
                echoLoad.answersPerSecond / serverLoad.answersPerSecond, serverLoad.p99, echoLoad.p99,
                serverLoad.p99 / echoLoad.p99);
    const double ctlMed = Percentile(ctl, 0.5), bareMed = Percentile(bare, 0.5);
    std::printf("  a reading through tarvo-pulse-ctl status (a process each, simulated generator), median of %zu: "
                "%.2f ms, %.0f times the server's FREQ? round trip; a process doing nothing (/bin/true) %.2f ms, "
                "ratio %.2f\n", ctl.size(), ctlMed, ctlMed * 1000 / sMed, bareMed, ctlMed / bareMed);
    std::printf("  VmRSS idle %ld KiB, after the %d clients have gone %ld KiB (%+ld KiB)\n", rssIdle, CLIENTS,
                rssAfter, rssAfter - rssIdle);
    const double hMed = Percentile(hislipRtt, 0.5), hEcho = Percentile(hislipEchoRtt, 0.5);
    std::printf("  FREQ? over HiSLIP, one session: median %.1f us (echo %.1f us, ratio %.2f); 99th percentile %.1f us\n",
                hMed, hEcho, hMed / hEcho, Percentile(hislipRtt, 0.99));
    std::printf("  VmRSS with %d HiSLIP sessions open %ld KiB, after they have gone %ld KiB\n", CLIENTS, rssHislipOpen,
                rssHislipAfter);
    return 0;
}
