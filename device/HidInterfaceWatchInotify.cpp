// HidInterfaceWatch on Linux: inotify on the directory of the hidraw nodes.
#include "HidInterfaceWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tarvo {
namespace {

constexpr std::uint32_t NODE_EVENTS = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO;
// The watch is gone: the directory was removed or unmounted.
constexpr std::uint32_t WATCH_ENDED = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
constexpr const char* NODE_PREFIX = "hidraw";

}  // namespace

HidInterfaceWatch::HidInterfaceWatch(std::string directory) : directory_(std::move(directory)) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && inotify_add_watch(fd_, directory_.c_str(), NODE_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF) < 0)
        Stop();
}

HidInterfaceWatch::~HidInterfaceWatch() { Stop(); }

void HidInterfaceWatch::Stop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

HidInterfaceWatch::Changes HidInterfaceWatch::Take() {
    Changes changes;
    if (fd_ < 0) {
        changes.unknown = true;
        return changes;
    }
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {  // a read the kernel refuses: no telling what was missed
            Stop();
            changes.unknown = true;
            break;
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) changes.unknown = true;
            if (event.mask & WATCH_ENDED) {
                Stop();
                changes.unknown = true;
            }
            if (event.len > 0 && std::strncmp(name, NODE_PREFIX, std::strlen(NODE_PREFIX)) == 0)
                changes.paths.push_back(directory_ + "/" + name);
        }
        if (fd_ < 0) break;
    }
    return changes;
}

bool HidInterfaceWatch::NodePresent(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace tarvo
