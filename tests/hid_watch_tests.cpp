// The hotplug watch of the hidapi layer on a directory of its own: which node changes it reports, and that it
// says so when it can no longer tell.
#include "device/HidInterfaceWatch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace tarvo {
namespace {

class Directory {
public:
    Directory() {
        char pattern[] = "/tmp/tarvo-watch-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~Directory() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    void Make(const std::string& name) const {
        const int fd = open((*this / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }

private:
    std::string path_;
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

TEST(HidInterfaceWatch, ReportsHidrawNodesMadeChangedMovedAndRemovedAndNothingElse) {
    Directory dev;
    ASSERT_FALSE(dev.path().empty());
    HidInterfaceWatch watch(dev.path());
    ASSERT_TRUE(watch.Active());
    auto changes = watch.Take();
    EXPECT_FALSE(changes.unknown);
    EXPECT_TRUE(changes.paths.empty());

    dev.Make("hidraw3");
    dev.Make("tty5");
    mkdir((dev / "input").c_str(), 0755);
    changes = watch.Take();
    EXPECT_FALSE(changes.unknown);
    EXPECT_EQ(Sorted(changes.paths), std::vector<std::string>{dev / "hidraw3"});
    EXPECT_TRUE(watch.Take().paths.empty()) << "each change is reported once";

    // udevd giving the user at the seat access, or taking it away.
    chmod((dev / "hidraw3").c_str(), 0660);
    EXPECT_EQ(Sorted(watch.Take().paths), std::vector<std::string>{dev / "hidraw3"});

    rename((dev / "hidraw3").c_str(), (dev / "hidraw4").c_str());
    EXPECT_EQ(Sorted(watch.Take().paths), (std::vector<std::string>{dev / "hidraw3", dev / "hidraw4"}));
    EXPECT_TRUE(HidInterfaceWatch::NodePresent(dev / "hidraw4"));

    unlink((dev / "hidraw4").c_str());
    unlink((dev / "tty5").c_str());
    EXPECT_EQ(Sorted(watch.Take().paths), std::vector<std::string>{dev / "hidraw4"});
    EXPECT_FALSE(HidInterfaceWatch::NodePresent(dev / "hidraw4"));
    EXPECT_FALSE(watch.Take().unknown);
}

TEST(HidInterfaceWatch, WithoutAWatchEveryLookIsUnknown) {
    HidInterfaceWatch none("/nonexistent/tarvo-watch");
    EXPECT_FALSE(none.Active());
    EXPECT_TRUE(none.Take().unknown);
    EXPECT_TRUE(none.Take().unknown);

    // The watched directory goes away: from then on nothing can be told.
    auto dev = std::make_unique<Directory>();
    HidInterfaceWatch watch(dev->path());
    ASSERT_TRUE(watch.Active());
    dev.reset();
    EXPECT_TRUE(watch.Take().unknown);
    EXPECT_FALSE(watch.Active());
    EXPECT_TRUE(watch.Take().unknown);
}

TEST(HidInterfaceWatch, DroppedEventsMakeTheLookUnknown) {
    std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
    long limit = 0;
    if (!(limitFile >> limit) || limit <= 0 || limit > 100000)
        GTEST_SKIP() << "the kernel's event queue holds " << limit << " events; too many to fill here";
    Directory dev;
    HidInterfaceWatch watch(dev.path());
    ASSERT_TRUE(watch.Active());
    // The kernel merges an event with an equal one before it: each of these differs.
    for (long i = 0; i <= limit; ++i) dev.Make("node" + std::to_string(i));
    const auto changes = watch.Take();
    EXPECT_TRUE(changes.unknown);
    EXPECT_TRUE(watch.Active()) << "the watch goes on after a lost event";
    EXPECT_FALSE(watch.Take().unknown);
}

}  // namespace
}  // namespace tarvo
