// tarvo-foreign-hid-virtual: HID interfaces of other devices, made through the kernel's /dev/uhid, for the
// real-kernel test and the search benchmark: the interfaces every desktop has, which a search must pass over.
//
//   tarvo-foreign-hid-virtual --count N
//
// Makes N USB HID devices that are no pulse generator: the even ones keyboards of another vendor (046D:C31C),
// the odd ones vendor-defined devices of the generator's vendor with another product (1209:0002). Prints "READY" once the
// kernel has started every one and its /dev/hidraw node is there, then keeps them plugged in, reading and
// discarding what the kernel sends them, until SIGINT or SIGTERM; then unplugs them all (UHID_DESTROY), prints
// "DESTROYED" and ends with status 0. On SIGUSR1 it prints "OPENS n": how many times since READY a device was
// opened while no one held it open (the kernel holds the keyboards open itself, so this counts the opens of
// the other ones). Needs read and write access to /dev/uhid (usually root).
#include <linux/uhid.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int MAX_COUNT = 64;
constexpr auto READY_WAIT = std::chrono::seconds(20);

// A boot keyboard: modifier byte, reserved byte, six key codes; five LED bits out.
constexpr std::array<std::uint8_t, 63> KEYBOARD_DESCRIPTOR = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
    0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
    0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// One vendor-defined input report of 8 bytes.
constexpr std::array<std::uint8_t, 21> VENDOR_DESCRIPTOR = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
                                                            0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                                                            0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0xC0};

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_tellOpens = 0;
void OnStop(int) { g_stop = 1; }
void OnTellOpens(int) { g_tellOpens = 1; }

bool Send(int fd, const uhid_event& ev) {
    for (;;) {
        const ssize_t n = write(fd, &ev, sizeof ev);
        if (n == static_cast<ssize_t>(sizeof ev)) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

std::string Uniq(int index) { return "tarvo-foreign-" + std::to_string(getpid()) + "-" + std::to_string(index); }

bool Create(int fd, int index) {
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    const bool keyboard = index % 2 == 0;
    std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "%s %d",
                  keyboard ? "Foreign keyboard" : "Foreign device of the generator's vendor", index);
    std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%s", Uniq(index).c_str());
    std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "tarvo-foreign/%d", index);
    const auto& descriptor = keyboard ? std::span<const std::uint8_t>(KEYBOARD_DESCRIPTOR)
                                      : std::span<const std::uint8_t>(VENDOR_DESCRIPTOR);
    c.rd_size = static_cast<std::uint16_t>(descriptor.size());
    std::memcpy(c.rd_data, descriptor.data(), descriptor.size());
    c.bus = BUS_USB;
    c.vendor = keyboard ? 0x046D : 0x1209;
    c.product = keyboard ? 0xC31C : 0x0002;
    c.version = 0x0110;
    return Send(fd, ev);
}

// Waits up to timeoutMs for the kernel to send something, then reads and discards all it has sent; counts the
// starts and the opens.
void Drain(const std::vector<int>& fds, int timeoutMs, int& started, long& opens) {
    std::vector<pollfd> polls;
    for (const int fd : fds) polls.push_back({fd, POLLIN, 0});
    for (int wait = timeoutMs; poll(polls.data(), polls.size(), wait) > 0; wait = 0) {
        for (const pollfd& p : polls) {
            if (!(p.revents & POLLIN)) continue;
            uhid_event ev{};
            if (read(p.fd, &ev, sizeof ev) <= 0) continue;
            if (ev.type == UHID_START) ++started;
            if (ev.type == UHID_OPEN) ++opens;
        }
    }
}

// How many of this program's devices have their hidraw node in /dev.
int NodesPresent(int count) {
    int present = 0;
    DIR* dir = opendir("/sys/class/hidraw");
    if (!dir) return 0;
    while (const dirent* e = readdir(dir)) {
        if (std::strncmp(e->d_name, "hidraw", 6) != 0) continue;
        std::ifstream uevent(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
        const std::string text((std::istreambuf_iterator<char>(uevent)), std::istreambuf_iterator<char>());
        struct stat st {};
        for (int i = 0; i < count; ++i)
            if (text.find("HID_UNIQ=" + Uniq(i) + "\n") != std::string::npos &&
                stat((std::string("/dev/") + e->d_name).c_str(), &st) == 0)
                ++present;
    }
    closedir(dir);
    return present;
}

}  // namespace

int main(int argc, char** argv) {
    int count = -1;
    if (argc == 3 && std::strcmp(argv[1], "--count") == 0) count = std::atoi(argv[2]);
    if (count < 1 || count > MAX_COUNT) {
        std::fprintf(stderr, "usage: tarvo-foreign-hid-virtual --count N   (1 to %d)\n", MAX_COUNT);
        return 2;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnTellOpens;
    sigaction(SIGUSR1, &action, nullptr);

    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (fd < 0 || !Create(fd, i)) {
            std::fprintf(stderr, "tarvo-foreign-hid-virtual: cannot make device %d: %s\n", i, std::strerror(errno));
            if (fd >= 0) close(fd);
            for (const int f : fds) close(f);  // closing unplugs
            return 1;
        }
        fds.push_back(fd);
    }
    int started = 0;
    long opens = 0;
    const auto until = std::chrono::steady_clock::now() + READY_WAIT;
    while (!g_stop && (started < count || NodesPresent(count) < count) && std::chrono::steady_clock::now() < until)
        Drain(fds, 10, started, opens);
    if (started < count || NodesPresent(count) < count) {
        std::fprintf(stderr, "tarvo-foreign-hid-virtual: only %d of %d devices started\n", started, count);
        for (const int f : fds) close(f);
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    opens = 0;
    while (!g_stop) {
        Drain(fds, 100, started, opens);
        if (g_tellOpens) {
            g_tellOpens = 0;
            std::printf("OPENS %ld\n", opens);
            std::fflush(stdout);
        }
    }
    for (const int fd : fds) {
        uhid_event destroy{};
        destroy.type = UHID_DESTROY;
        Send(fd, destroy);
        close(fd);
    }
    std::printf("DESTROYED\n");
    std::fflush(stdout);
    return 0;
}
