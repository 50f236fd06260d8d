// Times start-ups from process start to the window shown: the utility's filled window against a bare Qt
// Widgets window, alternately in one run, and prints the medians and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double RunOnce(const char* mode) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(TARVO_STARTUP_PROBE, TARVO_STARTUP_PROBE, mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "probe '%s' failed\n", mode);
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    RunOnce("bare");  // warm the caches for both
    RunOnce("window");
    std::vector<double> bare, window;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(RunOnce("bare"));
        window.push_back(RunOnce("window"));
    }
    const double b = Median(bare), w = Median(window);
    std::printf("start-up median over %d runs: window %.1f ms, bare window %.1f ms, ratio %.2f\n", runs, w, b, w / b);
    return 0;
}
