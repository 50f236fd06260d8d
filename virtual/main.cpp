// tarvo-pulse-generator-virtual: a pulse generator made through the kernel's /dev/uhid, for trying the utility
// and for testing it against the real HID stack without hardware.
//
//   tarvo-pulse-generator-virtual --serial TEXT [--name TEXT] [--frequency HZ] [--amplitude INDEX]
//                                 [--no-stream] [--exit-after SECONDS]
//
// The device is USB 1209:0001 with the given serial number. It streams an input report every 10 ms (unless
// --no-stream), answers the status request and keeps the settings sent to it. Every report it receives is
// printed on one line (bytes in hex, then what it did); stdout is flushed after each line. SIGUSR1 stops the
// stream and SIGUSR2 starts it again; SIGINT, SIGTERM or the end of --exit-after unplug the device (UHID_DESTROY)
// and end the program with status 0. Needs read and write access to /dev/uhid (usually root).
#include "GeneratorModel.h"
#include "protocol/FeatureReport.h"

#include <linux/uhid.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using tarvo::virt::GeneratorModel;
using tarvo::HexBytes;

constexpr std::uint32_t VENDOR_ID = 0x1209;
constexpr std::uint32_t PRODUCT_ID = 0x0001;
constexpr std::uint32_t DEVICE_VERSION = 0x0100;
constexpr auto STREAM_PERIOD = std::chrono::milliseconds(10);

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_streamChange = 0;  // 1: stop streaming, 2: start streaming

void OnStop(int) { g_stop = 1; }
void OnStreamOff(int) { g_streamChange = 1; }
void OnStreamOn(int) { g_streamChange = 2; }

struct Options {
    std::string serial;
    std::string name = "Tarvo Pulse Generator (virtual)";
    std::int32_t frequency = 10000000;
    std::uint16_t amplitude = 360;
    bool stream = true;
    std::optional<double> exitAfterSeconds;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: tarvo-pulse-generator-virtual --serial TEXT [--name TEXT] [--frequency HZ]\n"
                 "                                     [--amplitude INDEX] [--no-stream] [--exit-after SECONDS]\n");
}

bool ParseLong(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == 0 && value >= low && value <= high;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options o;
    bool haveSerial = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long long number = 0;
        if (arg == "--serial" && hasValue) {
            o.serial = argv[++i];
            haveSerial = true;
        } else if (arg == "--name" && hasValue) {
            o.name = argv[++i];
        } else if (arg == "--frequency" && hasValue && ParseLong(argv[i + 1], INT32_MIN, INT32_MAX, number)) {
            o.frequency = static_cast<std::int32_t>(number);
            ++i;
        } else if (arg == "--amplitude" && hasValue && ParseLong(argv[i + 1], 0, 65535, number)) {
            o.amplitude = static_cast<std::uint16_t>(number);
            ++i;
        } else if (arg == "--no-stream") {
            o.stream = false;
        } else if (arg == "--exit-after" && hasValue) {
            char* end = nullptr;
            const double seconds = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != 0 || !(seconds > 0)) return std::nullopt;
            o.exitAfterSeconds = seconds;
        } else {
            return std::nullopt;
        }
    }
    // The kernel keeps 63 bytes of each string and its NUL.
    if (!haveSerial || o.serial.size() > 63 || o.name.size() > 127) return std::nullopt;
    return o;
}

void Say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Send(int fd, const uhid_event& ev) {
    for (;;) {
        const ssize_t n = write(fd, &ev, sizeof ev);
        if (n == static_cast<ssize_t>(sizeof ev)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

const char* ReportTypeName(std::uint8_t type) {
    switch (type) {
        case UHID_FEATURE_REPORT: return "feature";
        case UHID_OUTPUT_REPORT: return "output";
        case UHID_INPUT_REPORT: return "input";
        default: return "unknown";
    }
}

// Answers one event from the kernel.
void Handle(int fd, const uhid_event& ev, GeneratorModel& model, bool& running) {
    uhid_event reply{};
    switch (ev.type) {
        case UHID_START:
            running = true;
            Say("START");
            break;
        case UHID_STOP:
            running = false;
            Say("STOP");
            break;
        case UHID_OPEN:
            Say("OPEN");
            break;
        case UHID_CLOSE:
            Say("CLOSE");
            break;
        case UHID_OUTPUT: {
            const auto& out = ev.u.output;
            const std::size_t size = std::min<std::size_t>(out.size, UHID_DATA_MAX);
            Say(std::string("OUTPUT type=") + ReportTypeName(out.rtype) + " bytes=" + HexBytes(out.data, size) +
                " | ignored");
            break;
        }
        case UHID_GET_REPORT: {
            const auto& req = ev.u.get_report;
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = req.id;
            std::string line = std::string("GET_REPORT type=") + ReportTypeName(req.rtype) + " id=" +
                               std::to_string(req.rnum);
            if (req.rtype == UHID_FEATURE_REPORT && req.rnum == 0) {
                const auto frame = model.StatusFrame();
                reply.u.get_report_reply.err = 0;
                reply.u.get_report_reply.size = static_cast<std::uint16_t>(frame.size());
                std::memcpy(reply.u.get_report_reply.data, frame.data(), frame.size());
                line += " reply=" + HexBytes(frame.data(), frame.size()) + " | frequency " +
                        std::to_string(model.frequency()) + " amplitude " + std::to_string(model.amplitude());
            } else {
                reply.u.get_report_reply.err = EIO;
                line += " | refused";
            }
            Send(fd, reply);
            Say(line);
            break;
        }
        case UHID_SET_REPORT: {
            const auto& req = ev.u.set_report;
            const std::size_t size = std::min<std::size_t>(req.size, UHID_DATA_MAX);
            std::string line = std::string("SET_REPORT type=") + ReportTypeName(req.rtype) + " id=" +
                               std::to_string(req.rnum) + " bytes=" + HexBytes(req.data, size) + " | ";
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = req.id;
            if (req.rtype == UHID_FEATURE_REPORT && req.rnum == 0) {
                reply.u.set_report_reply.err = 0;
                line += model.ApplySetFeature(req.data, size);
            } else {
                reply.u.set_report_reply.err = EIO;
                line += "refused";
            }
            Send(fd, reply);
            Say(line);
            break;
        }
        default:
            break;
    }
}

bool Create(int fd, const Options& o) {
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "%s", o.name.c_str());
    std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%s", o.serial.c_str());
    std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "tarvo-virtual/%s", o.serial.c_str());
    c.rd_size = static_cast<std::uint16_t>(tarvo::virt::REPORT_DESCRIPTOR.size());
    c.bus = BUS_USB;
    c.vendor = VENDOR_ID;
    c.product = PRODUCT_ID;
    c.version = DEVICE_VERSION;
    std::memcpy(c.rd_data, tarvo::virt::REPORT_DESCRIPTOR.data(), tarvo::virt::REPORT_DESCRIPTOR.size());
    return Send(fd, ev);
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        Usage();
        return 2;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnStreamOff;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = OnStreamOn;
    sigaction(SIGUSR2, &action, nullptr);

    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tarvo-pulse-generator-virtual: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    if (!Create(fd, *options)) {
        std::fprintf(stderr, "tarvo-pulse-generator-virtual: UHID_CREATE2 failed: %s\n", std::strerror(errno));
        close(fd);
        return 1;
    }
    Say("CREATED serial=" + options->serial);

    GeneratorModel model(options->frequency, options->amplitude);
    bool streaming = options->stream;
    bool running = false;  // the kernel has started the device: input reports are accepted
    const auto started = Clock::now();
    auto nextReport = started;
    while (!g_stop) {
        if (options->exitAfterSeconds &&
            Clock::now() - started >= std::chrono::duration<double>(*options->exitAfterSeconds))
            break;
        if (g_streamChange) {
            streaming = g_streamChange == 2;
            g_streamChange = 0;
            Say(streaming ? "STREAM on" : "STREAM off");
        }
        const auto now = Clock::now();
        if (streaming && running && now >= nextReport) {
            const auto report = model.NextInputReport();
            uhid_event ev{};
            ev.type = UHID_INPUT2;
            ev.u.input2.size = static_cast<std::uint16_t>(report.size());
            std::memcpy(ev.u.input2.data, report.data(), report.size());
            Send(fd, ev);
            nextReport = now + STREAM_PERIOD;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextReport - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::clamp<long long>(wait, 1, 10)));
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (p.revents & POLLIN)) {
            uhid_event ev{};
            const ssize_t n = read(fd, &ev, sizeof ev);
            if (n > 0) Handle(fd, ev, model, running);
        }
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP))) break;
    }

    uhid_event destroy{};
    destroy.type = UHID_DESTROY;
    Send(fd, destroy);
    close(fd);
    Say("DESTROYED");
    return 0;
}
