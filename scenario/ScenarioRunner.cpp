#include "ScenarioRunner.h"

#include "protocol/FeatureReport.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <istream>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>

namespace tarvo {
namespace {

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& message) { throw ScenarioError(message); }

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

// UTF-8 to UTF-16, without a leading byte-order mark; a byte that starts no well-formed sequence becomes U+FFFD.
std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    const auto* b = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    std::size_t i = utf8.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (i < n) {
        const unsigned char lead = b[i];
        int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
        char32_t c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
        bool good = extra >= 0 && i + extra < n;
        for (int k = 1; good && k <= extra; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) good = false;
            else c = (c << 6) | (b[i + k] & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (good && (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) good = false;
        if (!good) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// A decimal number (optionally negative) or a hexadecimal one with 0x, within [low, high].
long long Number(const std::u16string& text, long long low, long long high, const char* what) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && text[pos] == u'-') negative = true, ++pos;
    int base = 10;
    if (text.size() >= pos + 2 && text[pos] == u'0' && (text[pos + 1] == u'x' || text[pos + 1] == u'X')) base = 16, pos += 2;
    if (pos == text.size()) Fail(std::string("malformed ") + what + " '" + Utf8(text) + "'");
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigit(text[pos]);
        if (digit < 0 || digit >= base) Fail(std::string("malformed ") + what + " '" + Utf8(text) + "'");
        value = value * base + digit;
        if (value > (1LL << 40)) Fail(std::string(what) + " out of range: " + Utf8(text));
    }
    if (negative) value = -value;
    if (value < low || value > high) Fail(std::string(what) + " out of range: " + Utf8(text));
    return value;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + '"';
}

}  // namespace

ScenarioRunner::ScenarioRunner(std::ostream& out, ScenarioWindowFactory makeWindow)
    : out_(out), makeWindow_(std::move(makeWindow)) {
    // Calls are printed as they happen and never looked up later: keeping them would grow by a gigabyte every
    // million ticks without a device.
    platform_.keepRecords = false;
    platform_.onCall = [this](const SimCall& call) { OnCall(call); };
}

ScenarioRunner::~ScenarioRunner() = default;

int ScenarioRunner::Run(std::istream& script, std::ostream& err) {
    std::string line;
    for (int number = 1; std::getline(script, line); ++number) {
        try {
            RunLine(line);
        } catch (const ScenarioError& e) {
            out_.flush();
            err << "line " << number << ": " << e.what() << '\n';
            return 2;
        }
    }
    out_.flush();
    return 0;
}

std::vector<ScenarioRunner::Word> ScenarioRunner::Split(const std::string& line) const {
    const std::u16string text = Utf16(line);
    std::vector<Word> words;
    std::size_t i = 0;
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r'; };
    while (true) {
        while (i < text.size() && blank(text[i])) ++i;
        if (i == text.size()) break;
        Word word;
        std::u16string current;
        bool keyTaken = false;
        while (i < text.size() && !blank(text[i])) {
            const char16_t c = text[i];
            if (c == u'"') {
                word.quoted = true;
                for (++i;; ++i) {
                    if (i >= text.size()) Fail("unterminated string");
                    if (text[i] == u'"') break;
                    if (text[i] != u'\\') {
                        current.push_back(text[i]);
                        continue;
                    }
                    if (++i >= text.size()) Fail("unterminated string");
                    switch (text[i]) {
                        case u'"': current.push_back(u'"'); break;
                        case u'\\': current.push_back(u'\\'); break;
                        case u'n': current.push_back(u'\n'); break;
                        case u'u': {
                            if (i + 4 >= text.size()) Fail("malformed \\u escape");
                            int unit = 0;
                            for (int k = 1; k <= 4; ++k) {
                                const int d = HexDigit(text[i + k]);
                                if (d < 0) Fail("malformed \\u escape");
                                unit = unit * 16 + d;
                            }
                            current.push_back(static_cast<char16_t>(unit));
                            i += 4;
                            break;
                        }
                        default: Fail("unknown escape \\" + Utf8(std::u16string(1, text[i])));
                    }
                }
                ++i;  // the closing quote
                continue;
            }
            if (c == u'=' && !keyTaken && !word.quoted && !current.empty()) {
                word.key = current;
                word.hasKey = true;
                keyTaken = true;
                current.clear();
                ++i;
                continue;
            }
            current.push_back(c);
            ++i;
        }
        word.text = current;
        words.push_back(std::move(word));
    }
    return words;
}

void ScenarioRunner::RunLine(const std::string& text) {
    // A leading byte-order mark (an editor may save one) is no part of the line, before a comment either.
    const std::string line = text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') return;
    std::vector<Word> words = Split(line);
    if (words.empty()) return;  // the UTF-8 decoding drops one more leading mark: nothing was left
    if (words[0].hasKey || words[0].quoted) Fail("unknown command '" + Utf8(words[0].text) + "'");
    const std::string command = Utf8(words[0].text);
    auto arity = [&](std::size_t low, std::size_t high) {
        if (words.size() - 1 < low || words.size() - 1 > high) Fail("wrong number of arguments to " + command);
        for (std::size_t k = 1; k < words.size(); ++k)
            if (words[k].hasKey) Fail("unknown key '" + Utf8(words[k].key) + "' for " + command);
    };
    if (command == "plug") {
        Plug(words);
    } else if (command == "unplug") {
        arity(1, 1);
        platform_.Unplug(DeviceName(words[1]));
    } else if (command == "stream") {
        arity(2, 2);
        const std::string name = DeviceName(words[1]);
        const std::string state = Utf8(words[2].text);
        if (state != "on" && state != "off") Fail("malformed value '" + state + "' (on or off)");
        platform_.SetStreaming(name, state == "on");
    } else if (command == "fail" || command == "heal") {
        FailOrHeal(words, command == "heal");
    } else if (command == "reply") {
        Reply(words);
    } else if (command == "start") {
        arity(0, 0);
        Start();
    } else if (command == "tick") {
        arity(0, 1);
        Tick(words);
    } else if (command == "type") {
        arity(2, 2);
        Type(words);
    } else if (command == "click") {
        arity(1, 1);
        Click(words);
    } else if (command == "choose") {
        arity(2, 2);
        Choose(words);
    } else if (command == "close") {
        arity(0, 0);
        Close();
    } else if (command == "show") {
        arity(1, std::numeric_limits<std::size_t>::max());
        Show(words);
    } else if (command == "list") {
        arity(1, 1);
        List(words);
    } else if (command == "timer") {
        arity(0, 0);
        ScenarioWindow& window = Window();
        out_ << "timer running=" << (window.TimerRunning() ? 1 : 0) << " interval=" << window.TimerInterval() << '\n';
    } else if (command == "handles") {
        arity(0, 0);
        out_ << "handles open=" << platform_.OpenDeviceHandles() << '\n';
    } else if (command == "focus") {
        arity(0, 0);
        const std::optional<ControlId> focused = Window().Focused();
        out_ << "focus " << (focused ? Designed(*focused).name : "none") << '\n';
    } else {
        Fail("unknown command '" + command + "'");
    }
}

void ScenarioRunner::Plug(const std::vector<Word>& words) {
    if (words.size() < 2 || words[1].hasKey) Fail("plug needs a device name");
    SimDeviceConfig config;
    config.name = Utf8(words[1].text);
    if (config.name.empty()) Fail("empty device name");
    if (platform_.IsPlugged(config.name)) Fail("device name '" + config.name + "' is in use");
    config.serial = words[1].text;
    for (std::size_t k = 2; k < words.size(); ++k) {
        const Word& w = words[k];
        if (!w.hasKey) Fail("plug takes key=value arguments, not '" + Utf8(w.text) + "'");
        const std::string key = Utf8(w.key);
        if (key == "serial") config.serial = w.text;
        else if (key == "manufacturer") config.manufacturer = w.text;
        else if (key == "product") config.product = w.text;
        else if (key == "vid") config.vendorId = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "vid"));
        else if (key == "pid") config.productId = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "pid"));
        else if (key == "version") config.version = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "version"));
        else if (key == "input") config.inputLength = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "input"));
        else if (key == "feature") config.featureLength = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "feature"));
        else if (key == "frequency")
            config.frequency = static_cast<std::int32_t>(
                static_cast<std::uint32_t>(Number(w.text, std::numeric_limits<std::int32_t>::min(), 0xFFFFFFFFLL, "frequency")));
        else if (key == "amplitude") config.amplitude = static_cast<std::uint16_t>(Number(w.text, 0, 0xFFFF, "amplitude"));
        else if (key == "stream") {
            const std::string v = Utf8(w.text);
            if (v != "on" && v != "off") Fail("malformed value '" + v + "' (on or off)");
            config.streaming = v == "on";
        } else Fail("unknown key '" + key + "'");
    }
    platform_.Plug(config);
}

void ScenarioRunner::FailOrHeal(const std::vector<Word>& words, bool heal) {
    const char* command = heal ? "heal" : "fail";
    if (words.size() < 3 || words[1].hasKey || words[2].hasKey) Fail(std::string(command) + " needs a device and an operation");
    const std::string name = DeviceName(words[1]);
    const std::optional<SimOp> op = SimOpFromName(Utf8(words[2].text));
    if (!op) Fail("unknown operation '" + Utf8(words[2].text) + "'");
    int times = -1;
    for (std::size_t k = 3; k < words.size(); ++k) {
        if (heal || !words[k].hasKey || Utf8(words[k].key) != "times")
            Fail(words[k].hasKey ? "unknown key '" + Utf8(words[k].key) + "'" : "unexpected argument '" + Utf8(words[k].text) + "'");
        times = static_cast<int>(Number(words[k].text, 1, 1'000'000'000, "times"));
    }
    if (heal) platform_.Heal(name, *op);
    else platform_.Fail(name, *op, times);
}

void ScenarioRunner::Reply(const std::vector<Word>& words) {
    if (words.size() < 3 || words[1].hasKey) Fail("reply needs a device and bytes, or state");
    const std::string name = DeviceName(words[1]);
    if (words.size() == 3 && !words[2].quoted && Utf8(words[2].text) == "state") {
        platform_.ClearReply(name);
        return;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 2; k < words.size(); ++k) {
        std::u16string hex = words[k].text;
        if (words[k].hasKey) Fail("unexpected key '" + Utf8(words[k].key) + "'");
        if (hex.size() > 2 && hex[0] == u'0' && (hex[1] == u'x' || hex[1] == u'X')) hex = hex.substr(2);
        if (hex.empty() || (hex.size() > 2 && hex.size() % 2 != 0)) Fail("malformed byte '" + Utf8(words[k].text) + "'");
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            const int hi = HexDigit(hex[i]);
            const int lo = i + 1 < hex.size() ? HexDigit(hex[i + 1]) : -2;
            if (hi < 0 || lo == -1) Fail("malformed byte '" + Utf8(words[k].text) + "'");
            bytes.push_back(static_cast<std::uint8_t>(lo == -2 ? hi : hi * 16 + lo));
        }
    }
    platform_.SetReply(name, std::move(bytes));
}

ScenarioWindow& ScenarioRunner::Window() {
    if (!window_) Fail("the window is not started");
    return *window_;
}

std::optional<ControlId> ScenarioRunner::Control(const Word& word) {
    const std::string name = Utf8(word.text);
    const std::optional<ControlId> id = ControlByName(name);
    if (word.hasKey || !(id || name == "frmMain")) Fail("unknown control '" + name + "'");
    Window();
    return id;
}

ControlId ScenarioRunner::ControlOfKind(const Word& word, ControlKind kind, const char* what) {
    const std::optional<ControlId> id = Control(word);
    if (!id || Designed(*id).kind != kind) Fail(Utf8(word.text) + " is not " + what);
    return *id;
}

std::string ScenarioRunner::DeviceName(const Word& word) {
    const std::string name = Utf8(word.text);
    if (word.hasKey || !platform_.IsPlugged(name)) Fail("unknown device '" + name + "'");
    return name;
}

// It (nothing: the window itself), every frame around it and the window are enabled and visible.
bool ScenarioRunner::TakesInput(std::optional<ControlId> id) const {
    if (closed_) return false;
    const ShownState window = window_->Window();
    if (!window.enabled || !window.visible) return false;
    for (std::optional<ControlId> c = id; c; c = Designed(*c).container) {
        const ShownState state = window_->State(*c);
        if (!state.enabled || !state.visible) return false;
    }
    return true;
}

void ScenarioRunner::PrintState(std::optional<ControlId> id) {
    if (id && Designed(*id).kind == ControlKind::Timer) {
        out_ << Designed(*id).name << " enabled=" << (window_->TimerRunning() ? 1 : 0) << " input=0 visible=0 text=\"\"\n";
        return;
    }
    const ShownState state = id ? window_->State(*id) : window_->Window();
    out_ << (id ? Designed(*id).name : "frmMain") << " enabled=" << (state.enabled ? 1 : 0)
         << " input=" << (TakesInput(id) ? 1 : 0) << " visible=" << (state.visible ? 1 : 0)
         << " text=" << Quoted(state.text);
    if (id && Designed(*id).kind == ControlKind::DropDownList)
        out_ << " count=" << state.count << " chosen=" << state.chosen;
    out_ << '\n';
}

void ScenarioRunner::Show(const std::vector<Word>& words) {
    Window();
    if (words.size() == 2 && !words[1].quoted && Utf8(words[1].text) == "all") {
        for (const ControlSpec& c : ControlTable()) PrintState(c.id);
        return;
    }
    std::vector<std::optional<ControlId>> ids;
    for (std::size_t k = 1; k < words.size(); ++k) ids.push_back(Control(words[k]));  // all checked before any is printed
    for (const std::optional<ControlId>& id : ids) PrintState(id);
}

void ScenarioRunner::List(const std::vector<Word>& words) {
    const ControlId id = ControlOfKind(words[1], ControlKind::DropDownList, "a drop-down list");
    const int count = window_->State(id).count;
    for (int i = 0; i < count; ++i) out_ << Designed(id).name << '[' << i << "]=" << Quoted(window_->ListItem(id, i)) << '\n';
}

void ScenarioRunner::Type(const std::vector<Word>& words) {
    const ControlId id = ControlOfKind(words[1], ControlKind::TextBox, "a text box");
    if (!TakesInput(id)) {
        out_ << "ignored: " << Designed(id).name << " does not take input\n";
        return;
    }
    window_->Type(id, Utf8(words[2].text));
}

void ScenarioRunner::Click(const std::vector<Word>& words) {
    const ControlId id = ControlOfKind(words[1], ControlKind::Button, "a button");
    if (!TakesInput(id)) {
        out_ << "ignored: " << Designed(id).name << " does not take input\n";
        return;
    }
    window_->Click(id);
}

void ScenarioRunner::Choose(const std::vector<Word>& words) {
    const ControlId id = ControlOfKind(words[1], ControlKind::DropDownList, "a drop-down list");
    const long long index = Number(words[2].text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), "index");
    const std::string name = Designed(id).name;
    if (!TakesInput(id)) {
        out_ << "ignored: " << name << " does not take input\n";
        return;
    }
    if (index < 0 || index >= window_->State(id).count) {
        out_ << "ignored: " << name << " has no entry " << index << '\n';
        return;
    }
    window_->Choose(id, static_cast<int>(index));
}

void ScenarioRunner::Tick(const std::vector<Word>& words) {
    const long long count = words.size() > 1 ? Number(words[1].text, 0, 1'000'000, "tick count") : 1;
    ScenarioWindow& window = Window();
    for (long long k = 0; k < count; ++k) {
        if (!window.TimerRunning()) {
            out_ << "tick ignored: timer stopped\n";
            continue;
        }
        window.Tick();
    }
}

void ScenarioRunner::Start() {
    if (window_) Fail("the window is already started");
    window_ = makeWindow_(platform_);
    window_->form().messageBox = [this](const std::string& title, const std::string& prompt) {
        out_ << "message " << Quoted(title) << ' ' << Quoted(prompt) << '\n';
    };
    window_->form().Form_Load();
}

void ScenarioRunner::Close() {
    ScenarioWindow& window = Window();
    if (closed_) return;
    window.Close();
    closed_ = true;
}

void ScenarioRunner::OnCall(const SimCall& call) {
    if (call.op == "HidD_SetFeature") {
        out_ << "set-feature " << call.device << (call.bytes.empty() ? "" : " ") << HexBytes(call.bytes)
             << (call.ok ? "" : " failed") << '\n';
    } else if (call.op == "HidD_GetFeature") {
        out_ << "get-feature " << call.device << (call.ok ? "" : " failed") << '\n';
    }
}

int RunScenarioProgram(int argc, char** argv, ScenarioWindowFactory makeWindow) {
    if (argc != 2) {
        std::cerr << "usage: tarvo-pulse-scenario FILE (or - for standard input)\n";
        return 2;
    }
    std::ifstream file;
    std::istream* script = &std::cin;
    if (std::string(argv[1]) != "-") {
        file.open(argv[1]);
        if (!file) {
            std::cerr << "cannot read " << argv[1] << '\n';
            return 2;
        }
        script = &file;
    }
    ScenarioRunner runner(std::cout, std::move(makeWindow));
    return runner.Run(*script, std::cerr);
}

}  // namespace tarvo
