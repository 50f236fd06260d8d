// The SCPI server's VXI-11 speed, against its floor measured in the same run on this machine:
// - a FREQ? query over VXI-11 (device_write, then device_read: two RPC round trips) on a simulated generator
//   (median, 99th percentile) against two round trips of a bare TCP echo over the loopback (a poll loop in a
//   process of its own, as the server is), with messages of the same sizes;
// - the server's resident memory idle, with 64 links open (a connection each), and after they have gone.
//
//   tarvo_vxi11_bench [QUERIES]
#include "bench_support.h"

#include <csignal>
#include <cstdint>
#include <memory>

namespace {

using namespace bench;
constexpr int LINKS = 64;

void Word(std::string& out, std::uint32_t value) {
    const char w[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                       static_cast<char>(value)};
    out.append(w, 4);
}

// One RPC call to the VXI-11 core program, in one record.
std::string Call(std::uint32_t xid, std::uint32_t procedure, const std::string& arguments) {
    std::string body;
    for (const std::uint32_t w : {xid, 0u, 2u, 0x0607AFu, 1u, procedure, 0u, 0u, 0u, 0u}) Word(body, w);
    body += arguments;
    std::string record;
    Word(record, 0x80000000u | static_cast<std::uint32_t>(body.size()));
    return record + body;
}

std::string Opaque(const std::string& bytes) {
    std::string out;
    Word(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
    out.append((4 - bytes.size() % 4) % 4, '\0');
    return out;
}

std::uint32_t WordAt(const std::string& bytes, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// One blocking connection: sends bytes, reads one record (or, for the echo, as many bytes as were sent).
class Connection : public LoopbackConnection {
public:
    using LoopbackConnection::LoopbackConnection;
    // The results of one reply record (after the accept status).
    std::string Reply() {
        const std::uint32_t length = WordAt(Take(4), 0) & 0x7FFFFFFFu;
        const std::string body = Take(length);
        if (body.size() < 24 || WordAt(body, 20) != 0) Die("a call was not accepted");
        return body.substr(24);
    }
};

std::uint32_t CreateLink(Connection& c) {
    std::string args;
    for (const std::uint32_t w : {1u, 0u, 0u}) Word(args, w);
    c.Send(Call(1, 10, args + Opaque("inst0")));
    const std::string reply = c.Reply();
    if (WordAt(reply, 0) != 0) Die("create_link failed");
    return WordAt(reply, 4);
}

}  // namespace

int main(int argc, char** argv) {
    const int queries = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    std::signal(SIGPIPE, SIG_IGN);

    const Child server = StartListening([](unsigned short port) {
        return std::vector<std::string>{TARVO_SCPI_SERVER, "--listen", "vxi11://127.0.0.1:" + std::to_string(port),
                                        "--simulate"};
    });
    const long idle = ResidentKiB(server.pid);
    std::vector<double> vxi;
    std::string write, read;
    {
        Connection c(server.port);
        const std::uint32_t link = CreateLink(c);
        for (const std::uint32_t w : {link, 1000u, 0u, 8u}) Word(write, w);  // END
        write += Opaque("FREQ?\n");
        for (const std::uint32_t w : {link, 1024u, 1000u, 0u, 0u, 0u}) Word(read, w);
        const std::string writeCall = Call(2, 11, write);
        const std::string readCall = Call(3, 12, read);
        std::string answer;
        for (int i = 0; i < queries / 10 + queries; ++i) {  // the first tenth warms up
            const auto start = Clock::now();
            c.Send(writeCall);
            c.Reply();
            c.Send(readCall);
            answer = c.Reply();
            if (i >= queries / 10) vxi.push_back(Micros(Clock::now() - start));
        }
        // error 0, reason END, then the answer: digits and LF.
        if (answer.size() < 16 || WordAt(answer, 0) != 0 || WordAt(answer, 4) != 4 ||
            answer.find('\n', 12) == std::string::npos)
            Die("FREQ? was not answered");
    }

    const Child echo = StartEcho();
    std::vector<double> floor;
    {
        Connection c(echo.port);
        const std::string writeSized(4 + 40 + write.size(), 'w');
        const std::string readSized(4 + 40 + read.size(), 'r');
        for (int i = 0; i < queries / 10 + queries; ++i) {
            const auto start = Clock::now();
            c.Send(writeSized);
            c.Take(writeSized.size());
            c.Send(readSized);
            c.Take(readSized.size());
            if (i >= queries / 10) floor.push_back(Micros(Clock::now() - start));
        }
    }
    Stop(echo);

    long open = 0;
    {
        std::vector<std::unique_ptr<Connection>> links;
        for (int i = 0; i < LINKS; ++i) {
            links.push_back(std::make_unique<Connection>(server.port));
            CreateLink(*links.back());
        }
        open = ResidentKiB(server.pid);
    }
    usleep(300000);  // the server notices the closed connections
    const long after = ResidentKiB(server.pid);
    Stop(server);

    const double vxiMedian = Percentile(vxi, 0.5), floorMedian = Percentile(floor, 0.5);
    std::printf("VXI-11 FREQ? (device_write + device_read), %d queries: median %.1f us, p99 %.1f us\n", queries,
                vxiMedian, Percentile(vxi, 0.99));
    std::printf("floor, two bare loopback echo round trips of the same sizes: median %.1f us, p99 %.1f us\n",
                floorMedian, Percentile(floor, 0.99));
    std::printf("ratio of the medians: %.2f (goal: 1.5 or less)\n", vxiMedian / floorMedian);
    std::printf("server resident memory: idle %ld KiB, with %d links open %ld KiB, after they closed %ld KiB\n", idle,
                LINKS, open, after);
    return 0;
}
