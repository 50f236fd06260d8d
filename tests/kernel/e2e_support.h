// What the real-kernel test's checks share: the check lines and their count, the virtual devices as child
// programs, the serial-number list, and the poll read as the window makes it.
#pragma once

#include "device/DeviceFinder.h"
#include "device/SerialNumberList.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::e2e {

using namespace std::chrono_literals;

inline constexpr auto WAIT = 10s;  // bound of every wait for the kernel or a generator; never reached when all is well

inline int g_failures = 0;

inline void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

template <typename A, typename B>
inline void CheckEq(const A& actual, const B& expected, const std::string& what) {
    const bool ok = actual == expected;
    if (ok) {
        Check(true, what);
    } else {
        Check(false, what + " (got " + std::to_string(actual) + ", expected " + std::to_string(expected) + ")");
    }
}

inline void CheckText(const std::string& actual, const std::string& expected, const std::string& what) {
    Check(actual == expected, what + (actual == expected ? "" : " (got \"" + actual + "\", expected \"" + expected + "\")"));
}

// One running tarvo-pulse-generator-virtual and the lines it printed.
class Generator {
public:
    Generator(const std::string& program, std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~Generator() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    bool Started() const { return pid_ > 0 && fd_ >= 0; }
    void Signal(int sig) const { if (pid_ > 0 && !exited_) kill(pid_, sig); }

    // Waits until a printed line satisfies the predicate; true when one did.
    bool WaitForLine(const std::function<bool(const std::string&)>& match) {
        const auto until = std::chrono::steady_clock::now() + WAIT;
        std::size_t seen = 0;
        do {
            for (; seen < lines_.size(); ++seen)
                if (match(lines_[seen])) return true;
            Pump(10);
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
    bool WaitForLine(const std::string& exact) {
        return WaitForLine([&](const std::string& l) { return l == exact; });
    }

    // Waits for a line starting with prefix among those not yet read from the program; that line, or "" when
    // none came.
    std::string WaitForNextLine(const std::string& prefix) {
        const std::size_t from = lines_.size();
        const auto until = std::chrono::steady_clock::now() + WAIT;
        do {
            for (std::size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].rfind(prefix, 0) == 0) return lines_[i];
            Pump(10);
        } while (std::chrono::steady_clock::now() < until);
        return {};
    }

    // Waits for the program to end; its exit status, or -1.
    int WaitForExit() {
        const auto until = std::chrono::steady_clock::now() + WAIT;
        while (std::chrono::steady_clock::now() < until) {
            Pump(10);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                Pump(0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

    // The printed lines that start with the prefix, in order.
    std::vector<std::string> Lines(const std::string& prefix) {
        Pump(0);
        std::vector<std::string> found;
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) found.push_back(l);
        return found;
    }

private:
    void Pump(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0) {
            partial_.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = partial_.find('\n')) != std::string::npos) {
                lines_.push_back(partial_.substr(0, end));
                std::printf("     [%d] %s\n", static_cast<int>(pid_), lines_.back().c_str());
                partial_.erase(0, end + 1);
            }
        }
        std::fflush(stdout);
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    std::string partial_;
    std::vector<std::string> lines_;
};

struct ListModel final : ListedSerialNumbers {
    int IndexOf(const std::string& text) const {
        auto it = std::find(entries.begin(), entries.end(), text);
        return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
    }
    // The entries of the generators this test made (on a developer's machine others may be attached).
    std::vector<std::string> Ours() const {
        std::vector<std::string> ours;
        for (const auto& e : entries)
            if (e.rfind("TPG-E2E-", 0) == 0) ours.push_back(e);
        return ours;
    }
};

inline std::string Text(const std::vector<std::string>& items) {
    std::string t;
    for (const auto& i : items) t += (t.empty() ? "" : ", ") + i;
    return "[" + t + "]";
}

// Scans until the list's own entries are exactly `expected` (in any order), within WAIT.
inline bool ScanUntil(DeviceContext c, ListModel& list, std::vector<std::string> expected) {
    std::sort(expected.begin(), expected.end());
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        Scan_USB_devices(c);
        auto ours = list.Ours();
        std::sort(ours.begin(), ours.end());
        if (ours == expected) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

struct Probe {
    std::uint8_t bytes[65] = {};
    std::uint32_t count = 0;
};

// One poll read as the window makes it: a 65-byte probe, the input report length, the read channel.
inline BOOL PollRead(ApiDeclarations& api, DeviceSession& s, Probe* probe = nullptr) {
    Probe local;
    Probe& p = probe ? *probe : local;
    p = Probe{};
    return api.ReadFile(s.ReadHandle, p.bytes, s.Caps.InputReportByteLength, &p.count, &s.ReadOverlapped);
}

// Reads until one read succeeds, within WAIT.
inline bool PollUntilAnswered(ApiDeclarations& api, DeviceSession& s, Probe* probe = nullptr) {
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        if (PollRead(api, s, probe)) return true;
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// Reads until a read fails, within WAIT; the reads already queued succeed first.
inline bool PollUntilSilent(ApiDeclarations& api, DeviceSession& s) {
    const auto until = std::chrono::steady_clock::now() + WAIT;
    do {
        if (!PollRead(api, s)) return true;
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

inline void CloseDevice(ApiDeclarations& api, DeviceSession& s) {
    s.DeviceAttached = false;
    s.LastResult = api.CloseHandle(s.DeviceHandle);
    CheckEq(s.LastResult, 1, "the feature-report handle closes");
    s.DeviceHandle = INVALID_HANDLE_VALUE;
    s.LastResult = api.CloseHandle(s.ReadHandle);
    CheckEq(s.LastResult, 1, "the input-report handle closes");
    s.ReadHandle = INVALID_HANDLE_VALUE;
    s.RefreshComplete = false;
}

// The checks of hotplugging with other devices' interfaces present (hotplug_e2e.cpp).
void RunHotplugChecks(const std::string& virtualProgram, const std::string& foreignProgram);

}  // namespace tarvo::e2e
