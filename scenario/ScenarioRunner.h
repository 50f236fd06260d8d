// Runs scenario scripts: the real window on the simulated platform, driven line by line, printing what happens.
// The timer never fires by itself; ticks come only from the script, so a script always prints the same text.
#pragma once

#include "ScenarioWindow.h"
#include "device/SimulatedPlatform.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// Makes a toolkit's main window over the platform, not yet loaded.
using ScenarioWindowFactory = std::function<std::unique_ptr<ScenarioWindow>(ApiDeclarations& api)>;

class ScenarioRunner {
public:
    ScenarioRunner(std::ostream& out, ScenarioWindowFactory makeWindow);
    ~ScenarioRunner();

    // Runs a whole script. Returns 0 when it ran to its end, 2 when a line stopped it; the message, naming the
    // line, goes to err.
    int Run(std::istream& script, std::ostream& err);

    // Runs one line (without its number); throws ScenarioError on a bad line.
    void RunLine(const std::string& line);

    SimulatedPlatform& platform() { return platform_; }
    ScenarioWindow* window() { return window_.get(); }

private:
    struct Word {
        std::u16string text;
        bool quoted = false;
        std::u16string key;  // for key=value words: the key, with text holding the value
        bool hasKey = false;
    };
    std::vector<Word> Split(const std::string& line) const;

    void Plug(const std::vector<Word>& words);
    void FailOrHeal(const std::vector<Word>& words, bool heal);
    void Reply(const std::vector<Word>& words);
    void Show(const std::vector<Word>& words);
    void List(const std::vector<Word>& words);
    void Type(const std::vector<Word>& words);
    void Click(const std::vector<Word>& words);
    void Choose(const std::vector<Word>& words);
    void Tick(const std::vector<Word>& words);
    void Start();
    void Close();

    ScenarioWindow& Window();
    std::optional<ControlId> Control(const Word& word);  // none: the window itself
    ControlId ControlOfKind(const Word& word, ControlKind kind, const char* what);
    std::string DeviceName(const Word& word);
    bool TakesInput(std::optional<ControlId> id) const;  // nothing: the window
    void PrintState(std::optional<ControlId> id);
    void OnCall(const SimCall& call);

    std::ostream& out_;
    ScenarioWindowFactory makeWindow_;
    SimulatedPlatform platform_;
    std::unique_ptr<ScenarioWindow> window_;
    bool closed_ = false;
};

// The body of a scenario program: `PROGRAM FILE` or `PROGRAM -` (standard input) runs the script on the window
// that makeWindow makes and returns the exit status (2 for bad usage or a script that cannot be read).
int RunScenarioProgram(int argc, char** argv, ScenarioWindowFactory makeWindow);

}  // namespace tarvo
