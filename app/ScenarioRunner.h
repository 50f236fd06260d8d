// Runs scenario scripts: the real window on the simulated platform, driven line by line, printing what happens.
// The timer never fires by itself; ticks come only from the script, so a script always prints the same text.
#pragma once

#include "device/SimulatedPlatform.h"
#include "frmMain.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace tarvo {

class ScenarioRunner {
public:
    explicit ScenarioRunner(std::ostream& out);
    ~ScenarioRunner();

    // Runs a whole script. Returns 0 when it ran to its end, 2 when a line stopped it; the message, naming the
    // line, goes to err. Needs a QApplication.
    int Run(std::istream& script, std::ostream& err);

    // Runs one line (without its number); throws ScenarioError on a bad line.
    void RunLine(const std::string& line);

    SimulatedPlatform& platform() { return platform_; }
    frmMain* window() { return window_.get(); }

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

    frmMain& Window();
    QObject* Control(const Word& word);
    std::string DeviceName(const Word& word);
    bool TakesInput(QWidget* w) const;
    void PrintState(const QString& name);
    void OnCall(const SimCall& call);

    std::ostream& out_;
    SimulatedPlatform platform_;
    std::unique_ptr<frmMain> window_;
    bool closed_ = false;
};

}  // namespace tarvo
