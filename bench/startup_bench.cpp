// Times start-ups from process start to the window shown (the probe's first line of output, written once its
// window has been painted): the utility's filled window against a bare Qt Widgets window and against the same
// bare window with one label, alternately in one run, and prints the medians and the ratios. Given a further
// command (the Windows program's probe under Wine), times it in the same rounds too. What a process does after
// its line (its exit) is not counted.
//
//   tarvo_startup_bench [RUNS [COMMAND ARG...]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double RunOnce(const std::vector<const char*>& command) {
    std::vector<char*> argv;
    for (const char* a : command) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
    }
    const auto shown = std::chrono::steady_clock::now();
    while (read(out[0], &c, 1) == 1) {
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "start-up probe '%s %s' failed\n", command[0], command.size() > 1 ? command[1] : "");
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(shown - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::vector<const char*> bareProbe = {TARVO_STARTUP_PROBE, "bare"}, windowProbe = {TARVO_STARTUP_PROBE, "window"},
                                   labelProbe = {TARVO_STARTUP_PROBE, "label"};
    const std::vector<const char*> other(argv + std::min(argc, 2), argv + argc);
    // Warm the caches for each.
    RunOnce(bareProbe);
    RunOnce(windowProbe);
    RunOnce(labelProbe);
    if (!other.empty()) RunOnce(other);
    std::vector<double> bare, window, labelled, others;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(RunOnce(bareProbe));
        window.push_back(RunOnce(windowProbe));
        labelled.push_back(RunOnce(labelProbe));
        if (!other.empty()) others.push_back(RunOnce(other));
    }
    const double b = Median(bare), w = Median(window), l = Median(labelled);
    std::printf("start-up median over %d runs: window %.1f ms, bare window %.1f ms, ratio %.2f; bare window with one "
                "label %.1f ms, ratio %.2f\n", runs, w, b, w / b, l, w / l);
    if (!other.empty()) {
        std::string command;
        for (const char* a : other) command += std::string(command.empty() ? "" : " ") + a;
        std::printf("start-up median over %d runs of %s: %.1f ms\n", runs, command.c_str(), Median(others));
    }
    return 0;
}
