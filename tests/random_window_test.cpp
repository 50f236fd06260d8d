// Random sequences of what devices and a user can do, run against the real window on the simulated platform,
// with the properties that hold whatever the sequence checked after every step and at every platform call.
//
// Each step is one line of the scenario language, run by the scenario runner, so a failing sequence is printed
// as a script that tarvo-pulse-scenario replays. Before it is printed, lines are deleted while the script still
// breaks the same property.
//
//   tarvo_random_window_test [--sequences N] [--seed S] [--max-steps L] [--print-script]
//
// Sequence i uses seed S + i, so `--seed S+i --sequences 1` repeats it alone.
#include "qt/QtScenarioWindow.h"
#include "scenario/ScenarioRunner.h"
#include "device/DeviceFinder.h"
#include "device/SimulatedPlatform.h"
#include "protocol/FeatureReport.h"

#include <QApplication>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TARVO_ASAN 1
#endif
#ifdef TARVO_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

using namespace tarvo;

namespace {

using Script = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------------------------
// Sequences

// Names the scripts use: G* are pulse generators, H* other HID devices. A name keeps its USB IDs for the whole
// sequence, so every record of a call names a device whose IDs are known.
const char* const GENERATORS[] = {"G1", "G2", "G3", "G4"};
const char* const OTHERS[] = {"H1", "H2"};

const char* const OPS[] = {"open", "open-overlapped", "attributes", "serial", "manufacturer",
                           "product", "caps", "set-feature", "get-feature", "read"};

// A scenario-language string: quotes and backslashes escaped, a newline as \n, other characters as they are.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    return out + '"';
}

class SequenceMaker {
public:
    explicit SequenceMaker(std::uint64_t seed, int maxSteps) : rng_(seed), maxSteps_(maxSteps) {
        for (const char* name : OTHERS) {
            // Another HID device: the generator's vendor with another product, the reverse, or neither.
            std::uint16_t vid = static_cast<std::uint16_t>(Below(0x10000));
            std::uint16_t pid = static_cast<std::uint16_t>(Below(0x10000));
            switch (Below(3)) {
                case 0: vid = DEVICE_VENDOR_ID; break;
                case 1: pid = DEVICE_PRODUCT_ID; break;
                default: break;
            }
            if (vid == DEVICE_VENDOR_ID && pid == DEVICE_PRODUCT_ID) pid ^= 0x8000;
            ids_[name] = {vid, pid};
        }
    }

    Script Make(int& faults) {
        Script lines;
        const int initial = Below(4);
        for (int k = 0; k < initial; ++k) lines.push_back(Plug());
        lines.push_back("start");
        const int steps = 1 + Below(maxSteps_);
        const int closeAt = Below(3) == 0 ? Below(steps) : -1;
        for (int k = 0; k < steps; ++k) {
            if (k == closeAt) {
                lines.push_back("close");
                continue;
            }
            std::string line = Step();
            if (line.rfind("fail ", 0) == 0) ++faults;
            lines.push_back(std::move(line));
        }
        return lines;
    }

private:
    int Below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    bool OneIn(int n) { return Below(n) == 0; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) { return items[Below(static_cast<int>(N))]; }

    std::vector<std::string> Unplugged() {
        std::vector<std::string> names;
        for (const char* n : GENERATORS)
            if (!plugged_.count(n)) names.push_back(n);
        for (const char* n : OTHERS)
            if (!plugged_.count(n)) names.push_back(n);
        return names;
    }

    std::string AnyPlugged() {
        auto it = plugged_.begin();
        std::advance(it, Below(static_cast<int>(plugged_.size())));
        return *it;
    }

    // Texts a device reports: plain, empty, shared by two devices, longer than 50 characters, with a character
    // whose low byte ends the text, with Latin-1 and wider characters, and unpaired surrogates.
    std::string DeviceText(const std::string& name) {
        switch (Below(9)) {
            case 0: return Quote("");
            case 1: return Quote("SAME");
            case 2: return Quote(std::string(40 + Below(30), static_cast<char>('A' + Below(26))));
            case 3: return "\"A\\u0100B\"";
            case 4: return "\"caf\\u00e9 \\u0141\"";
            case 5: return Quote("serial " + name + " \xE2\x82\xAC");
            case 6: return "\"\\ud800x\\udc00\"";
            case 7: return Quote(name == "G1" ? "g1" : "G1");  // differs from another serial in case only
            default: return Quote("TPG-" + std::to_string(Below(1000)));
        }
    }

    std::string Length(int low, int high, int usual) {
        return std::to_string(OneIn(2) ? usual : low + Below(high - low + 1));
    }

    std::string Frequency() {
        static const char* const edges[] = {"25000", "24999", "350000000", "350000001", "0", "-1",
                                            "0xFFFFFFFF", "0x80000000", "10000000"};
        if (OneIn(2)) return Pick(edges);
        return std::to_string(FOUT_MIN_HZ + Below(FOUT_MAX_HZ - FOUT_MIN_HZ + 1));
    }

    std::string Amplitude() {
        static const char* const edges[] = {"0", "339", "360", "510", "511", "65535"};
        if (OneIn(2)) return Pick(edges);
        return std::to_string(Below(VOUT_ENTRY_COUNT));
    }

    std::string Plug() {
        const std::vector<std::string> free = Unplugged();
        if (free.empty()) return Unplug();
        const std::string name = free[Below(static_cast<int>(free.size()))];
        plugged_.insert(name);
        std::string line = "plug " + name;
        auto id = ids_.find(name);
        if (id != ids_.end()) {
            char ids[40];
            std::snprintf(ids, sizeof ids, " vid=0x%04X pid=0x%04X", id->second.first, id->second.second);
            line += ids;
        }
        if (OneIn(3)) line += " serial=" + DeviceText(name);
        if (OneIn(4)) line += " manufacturer=" + DeviceText(name);
        if (OneIn(4)) line += " product=" + DeviceText(name);
        if (OneIn(4)) line += " version=" + std::to_string(Below(0x10000));
        if (OneIn(3)) line += " input=" + Length(0, 80, 65);
        if (OneIn(3)) line += " feature=" + Length(0, 12, 9);
        if (OneIn(3)) line += " frequency=" + Frequency();
        if (OneIn(3)) line += " amplitude=" + Amplitude();
        if (OneIn(6)) line += " stream=off";
        return line;
    }

    std::string Unplug() {
        if (plugged_.empty()) return Plug();
        const std::string name = AnyPlugged();
        plugged_.erase(name);
        return "unplug " + name;
    }

    std::string Reply(const std::string& name) {
        if (OneIn(4)) return "reply " + name + " state";
        std::vector<std::uint8_t> bytes(1 + Below(12));
        for (auto& b : bytes) b = static_cast<std::uint8_t>(Below(256));
        if (bytes.size() >= 9 && OneIn(2)) {
            // A well-aimed reply: a frequency and an amplitude index near their limits.
            const std::int64_t f = std::strtoll(Frequency().c_str(), nullptr, 0);
            const long a = std::strtol(Amplitude().c_str(), nullptr, 0);
            for (int i = 0; i < 4; ++i) bytes[3 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(f) >> (8 * i));
            bytes[7] = static_cast<std::uint8_t>(a);
            bytes[8] = static_cast<std::uint8_t>(a >> 8);
        }
        return "reply " + name + " " + HexBytes(bytes);
    }

    // What a user types as a frequency: valid, out of range, not a number, very long, non-ASCII, escapes.
    std::string FrequencyText() {
        static const char* const valid[] = {"25000", "350000000", "1e7", "2.5E4", " 12345678.5 ", "+1000000.49",
                                            "1000000.5", "\t30000\t", "3.5e+8", "0.00025e8"};
        static const char* const outside[] = {"24999.5", "350000000.4", "-5", "0", "-0", "1e300", "1e-300",
                                              "99999999999999999999", "-1e400", "1e99999999"};
        static const char* const garbage[] = {"", "abc", "10 MHz", "1,5", "0x10", "inf", "nan", ".", "e5", "--5",
                                              "1e", "1.2.3", " ", "+", "5 5"};
        switch (Below(7)) {
            case 0: return Quote(Pick(valid));
            case 1: return Quote(std::to_string(FOUT_MIN_HZ + Below(FOUT_MAX_HZ - FOUT_MIN_HZ + 1)));
            case 2: return Quote(Pick(outside));
            case 3: return Quote(Pick(garbage));
            case 4: {
                static const char* const longTexts[] = {"9", "0", "1"};
                std::string text(1 + Below(5000), Pick(longTexts)[0]);
                if (OneIn(2)) text = "0." + text + "1e9";
                return Quote(text);
            }
            case 5: {
                static const char* const wide[] = {"\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93\xEF\xBC\x94\xEF\xBC\x95",
                                                   "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4\xD9\xA5", "25000\xE2\x82\xAC",
                                                   "1\xC2\xA0" "000\xC2\xA0" "000", "\xC3\x9F"};
                return Quote(Pick(wide));
            }
            default: {
                static const char* const escaped[] = {"\"\\u0031\\u0030\\u0030\\u0030\\u0030\\u0030\\u0030\\u0030\"",
                                                      "\"\\ud800\"", "\"1000000\\u0000\"", "\"\\u0661\\u0662\"",
                                                      "\"1e7\\n\"", "\"\\\"5\\\"\""};
                return Pick(escaped);
            }
        }
    }

    std::string Choose() {
        if (OneIn(2)) {
            static const int indices[] = {-1, 0, 0, 1, 1, 2, 3, 5, 100};
            return "choose SerNo " + std::to_string(Pick(indices));
        }
        if (OneIn(8)) return "choose polarity 0";
        static const int indices[] = {-1, 0, 339, 360, 510, 511, 1000};
        return "choose Vout " + std::to_string(OneIn(2) ? Pick(indices) : Below(VOUT_ENTRY_COUNT));
    }

    std::string Step() {
        const int roll = Below(100);
        if (roll < 8) return Plug();
        if (roll < 13) return Unplug();
        if (plugged_.empty() && roll < 40) return Plug();
        if (roll < 17) return "stream " + AnyPlugged() + (OneIn(2) ? " on" : " off");
        if (roll < 27) {
            std::string line = "fail " + AnyPlugged() + " " + Pick(OPS);
            if (OneIn(2)) line += " times=" + std::to_string(1 + Below(3));
            return line;
        }
        if (roll < 31) return "heal " + AnyPlugged() + " " + Pick(OPS);
        if (roll < 36) return Reply(AnyPlugged());
        if (roll < 46) return std::string(OneIn(10) ? "type ext_sync_freq " : "type Foutput ") + FrequencyText();
        if (roll < 58) {
            static const char* const buttons[] = {"SetFout", "SetFout", "Factory", "Factory", "SetFsync"};
            return std::string("click ") + Pick(buttons);
        }
        if (roll < 68) return Choose();
        if (roll < 97) return OneIn(3) ? "tick " + std::to_string(1 + Below(4)) : "tick";
        static const char* const looks[] = {"show all", "list SerNo", "timer", "handles", "focus"};
        return Pick(looks);
    }

    std::mt19937_64 rng_;
    int maxSteps_;
    std::set<std::string> plugged_;
    std::map<std::string, std::pair<std::uint16_t, std::uint16_t>> ids_;
};

// ---------------------------------------------------------------------------------------------------------------
// The properties

struct Violation {
    std::string property;  // which property broke: the shrinking keeps to the same one
    std::string detail;
    std::size_t line = 0;  // 0-based index of the script line during which it broke
};

// What the window must show for a HID string: the low byte of each code unit up to the first zero low byte,
// at most 50 characters, each byte as the Latin-1 character of that code.
QString ExpectedText(const std::u16string& units) {
    QString text;
    for (std::size_t i = 0; i < units.size() && i < 50; ++i) {
        const unsigned low = units[i] & 0xFF;
        if (low == 0) break;
        text.append(QChar(static_cast<char16_t>(low)));
    }
    return text;
}

std::uint32_t LittleEndian(const std::vector<std::uint8_t>& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | (at + i < bytes.size() ? bytes[at + i] : 0);
    return value;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) { return " " + HexBytes(bytes); }

class Checker {
public:
    explicit Checker(ScenarioRunner& runner) : runner_(runner), sim_(runner.platform()) {
        sim_.keepRecords = true;  // the handle checks read Misuses()
        auto print = sim_.onCall;
        sim_.onCall = [this, print](const SimCall& call) {
            if (print) print(call);
            OnCall(call);
        };
    }

    std::optional<Violation> violation;

    // Before each line of the script: only a user's click or pick sends a command, and at most as many as it
    // makes (restore sends the frequency and the amplitude twice).
    void BeforeLine(const std::string& line) {
        commandsLeft_ = 0;
        if (line == "click SetFout" || line.rfind("choose Vout ", 0) == 0) commandsLeft_ = 1;
        if (line == "click Factory") commandsLeft_ = 3;
    }

    // After each line of the script.
    void AfterLine(const std::string& line) {
        if (line.rfind("plug ", 0) == 0) Remember(line);
        if (line == "close") closed_ = true;
        CheckMisuses(nullptr);
        if (violation || !runner_.window()) return;
        CheckState();
        statusThisLine_.reset();
    }

private:
    struct OpenFile {
        std::string device;
        bool overlapped = false;
        QString serialText;  // what the window must list for the device's serial number
    };

    void Break(const std::string& property, const std::string& detail) {
        if (!violation) violation = Violation{property, detail, 0};
    }

    // The IDs of each name from its device record as plugged.
    void Remember(const std::string& line) {
        const std::string name = line.substr(5, line.find(' ', 5) - 5);
        if (const SimDeviceConfig* d = sim_.Device(name)) ids_[name] = {d->vendorId, d->productId};
    }

    bool IsGenerator(const std::string& device) const {
        auto it = ids_.find(device);
        return it != ids_.end() && it->second.first == DEVICE_VENDOR_ID && it->second.second == DEVICE_PRODUCT_ID;
    }

    // Only these handle misuses are part of the design: the attribute read right after a failed open (the walk
    // reads attributes whatever the open gave), and, after a failed overlapped open, the poll's read on the
    // invalid input handle and the closes of the handles.
    void CheckMisuses(const SimCall* call) {
        const auto& misuses = sim_.Misuses();
        for (; seenMisuses_ < misuses.size(); ++seenMisuses_) {
            const SimMisuse& m = misuses[seenMisuses_];
            bool sanctioned = false;
            if (call && m.state == "invalid" && m.op == call->op && m.handle == call->handle) {
                if (m.op == "HidD_GetAttributes") sanctioned = lastOpenFailed_;
                if (m.op == "ReadFile" || m.op == "CloseHandle") sanctioned = lastOverlappedOpenFailed_;
            }
            if (!sanctioned)
                Break("handle misuse", m.op + " on a handle that is " + m.state +
                                           (call ? "" : " (a call that records no result)"));
        }
    }

    void OnCall(const SimCall& call) {
        CheckMisuses(&call);
        const DeviceSession* s = runner_.window() ? &runner_.window()->form().session() : nullptr;
        const std::string& op = call.op;
        const bool onDevice = !call.device.empty() && op != "SetupDiEnumDeviceInterfaces" &&
                              op != "SetupDiGetDeviceInterfaceDetailA";
        if (op == "CreateFileA" || op == "CreateFileA(overlapped)") {
            const bool overlapped = op != "CreateFileA";
            (overlapped ? lastOverlappedOpenFailed_ : lastOpenFailed_) = !call.ok;
            if (call.ok) {
                const SimDeviceConfig* d = sim_.Device(call.device);
                open_[call.handle] = {call.device, overlapped, d ? ExpectedText(d->serial) : QString()};
            }
        } else if (op == "CloseHandle") {
            if (call.ok) open_.erase(call.handle);
        } else if (op == "CreateEventA") {
            if (++events_ > 1) Break("read event", "the read event was created a second time");
        } else if (op == "SetupDiGetClassDevsA") {
            if (call.ok) ++infoSets_;
        } else if (op == "SetupDiDestroyDeviceInfoList") {
            if (call.ok) --infoSets_;
        } else if (op == "HidD_GetPreparsedData") {
            if (call.ok) ++preparsed_;
        } else if (op == "HidD_FreePreparsedData") {
            if (call.ok) --preparsed_;
        } else if (op == "HidP_GetCaps") {
            if (const SimDeviceConfig* d = sim_.Device(call.device)) capsFeatureLength_ = d->featureLength;
        }

        // Another HID device is opened, its attributes read, and closed: nothing else.
        if (onDevice && !IsGenerator(call.device) && op != "CreateFileA" && op != "HidD_GetAttributes" &&
            op != "CloseHandle")
            Break("other device", op + " made on " + call.device + ", which is not a pulse generator");
        if (!s) return;

        if (op == "HidD_SetFeature") CheckCommand(call, *s);
        if (op == "HidD_GetFeature") {
            if (!s->DeviceAttached || s->RefreshComplete)
                Break("status read", "a status request outside a refresh of an attached device");
            CheckLength(call, *s);
            if (call.ok) statusThisLine_ = call.bytes;
        }
        if ((op == "HidD_GetManufacturerString" || op == "HidD_GetProductString") && !s->DeviceAttached)
            Break("string read", op + " without an attached device");
    }

    void CheckLength(const SimCall& call, const DeviceSession& s) {
        const std::size_t length = s.Caps.FeatureReportByteLength;
        if (call.length != length || (call.op == "HidD_SetFeature" && call.bytes.size() != length) ||
            length != capsFeatureLength_)
            Break("report length", call.op + " of " + std::to_string(call.length) + " bytes; the capabilities read " +
                                       std::to_string(capsFeatureLength_) + ", the window holds " +
                                       std::to_string(length));
    }

    void CheckCommand(const SimCall& call, const DeviceSession& s) {
        if (!CommandsAllowed(s))
            Break("command gate", "set-feature with SettingsLoaded=" + std::to_string(s.SettingsLoaded) +
                                      " DeviceAttached=" + std::to_string(s.DeviceAttached) +
                                      " RefreshComplete=" + std::to_string(s.RefreshComplete));
        if (commandsLeft_-- <= 0) Break("unprompted command", "a set-feature that no click or pick asked for");
        if (!IsGenerator(call.device)) Break("other device", "set-feature sent to " + call.device);
        CheckLength(call, s);
        const std::vector<std::uint8_t>& b = call.bytes;
        std::size_t payloadEnd = 0;
        bool good = b.size() >= 3 && b[0] == 0 && b[2] == 0;
        if (good && b[1] == CMD_SET_FREQUENCY && b.size() >= FREQUENCY_FRAME_BYTES) {
            const auto hertz = static_cast<std::int32_t>(LittleEndian(b, 3, 4));
            good = hertz >= FOUT_MIN_HZ && hertz <= FOUT_MAX_HZ;
            // The command carries what the box shows.
            const std::string box = Shown(ControlId::Foutput).text;
            if (good && box != std::to_string(hertz))
                Break("command value", "frequency " + std::to_string(hertz) + " sent while the box shows " + box);
            payloadEnd = FREQUENCY_FRAME_BYTES;
        } else if (good && b[1] == CMD_SET_AMPLITUDE && b.size() >= AMPLITUDE_FRAME_BYTES) {
            const auto index = static_cast<std::int16_t>(LittleEndian(b, 3, 2));
            good = index >= 0 && index < VOUT_ENTRY_COUNT;
            const int chosen = Shown(ControlId::Vout).chosen;
            if (good && chosen != index)
                Break("command value", "amplitude " + std::to_string(index) + " sent while the list shows entry " +
                                           std::to_string(chosen));
            payloadEnd = AMPLITUDE_FRAME_BYTES;
        } else {
            good = false;
        }
        for (std::size_t i = payloadEnd; good && i < b.size(); ++i) good = b[i] == 0;
        if (!good) Break("command frame", "set-feature" + Hex(b));
    }

    ShownState Shown(ControlId id) { return runner_.window()->State(id); }

    void CheckState() {
        const DeviceSession& s = runner_.window()->form().session();
        if (infoSets_ != 0) Break("walk", "a device-information set was not destroyed");
        if (preparsed_ != 0) Break("preparsed data", "preparsed data was not released");
        const int platformOpen = sim_.OpenDeviceHandles();
        if (platformOpen != static_cast<int>(open_.size()))
            Break("handles", "the platform counts " + std::to_string(platformOpen) + " open handles, the calls " +
                                 std::to_string(open_.size()));
        const bool timerRunning = runner_.window()->TimerRunning();
        if (closed_) {
            if (!open_.empty()) Break("handles", std::to_string(open_.size()) + " handles open after closing");
            if (timerRunning) Break("timer", "the timer runs after closing");
            return;
        }
        if (!timerRunning) Break("timer", "the timer is stopped while the window is open");
        const int interval = runner_.window()->TimerInterval();
        if (interval != 50 && interval != 250 && interval != 500)
            Break("timer", "interval " + std::to_string(interval));

        std::set<std::string> devices;
        for (const auto& [h, f] : open_) devices.insert(f.device);
        if (devices.size() > 1) Break("one device", std::to_string(devices.size()) + " devices have open handles");

        const ShownState serNo = Shown(ControlId::SerNo);
        const bool serNoEnabled = serNo.enabled && Shown(ControlId::Frame1).enabled;
        if (serNoEnabled != (serNo.count >= 2))
            Break("serial list", "enabled=" + std::to_string(serNoEnabled) + " with " + std::to_string(serNo.count) +
                                     " entries");

        if (s.DeviceAttached) {
            auto feature = open_.find(s.DeviceHandle);
            if (feature == open_.end() || feature->second.overlapped) {
                Break("handles", "attached, but the feature-report handle is not open");
            } else if (!IsGenerator(feature->second.device)) {
                Break("other device", "the open device " + feature->second.device + " is not a pulse generator");
            } else if (s.SettingsLoaded && QString::fromStdString(serNo.text) != feature->second.serialText) {
                // While no status report is loaded a pick in the list switches nothing, so only then may the
                // list show another device than the open one.
                Break("open device", "the open device's serial number is not the one chosen in the list");
            }
            const bool readOpen = s.ReadHandle != INVALID_HANDLE_VALUE;
            auto input = open_.find(s.ReadHandle);
            if (readOpen && (input == open_.end() || !input->second.overlapped ||
                             (feature != open_.end() && input->second.device != feature->second.device)))
                Break("handles", "the input-report handle is not an open overlapped handle on the same device");
            if (!readOpen && !lastOverlappedOpenFailed_)
                Break("handles", "the input-report handle is invalid though its open succeeded");
            if (open_.size() != (readOpen ? 2u : 1u))
                Break("handles", std::to_string(open_.size()) + " handles open while attached");
        } else if (!open_.empty()) {
            Break("handles", std::to_string(open_.size()) + " handles open while no device is attached");
        }

        const ShownState vout = Shown(ControlId::Vout);
        const std::string foutput = Shown(ControlId::Foutput).text;
        if (vout.count != 0 && vout.count != VOUT_ENTRY_COUNT)
            Break("amplitude list", std::to_string(vout.count) + " entries");
        if (!s.DeviceAttached) {
            const bool cleared = !Shown(ControlId::Frame3).enabled && !Shown(ControlId::Factory).enabled &&
                                 Shown(ControlId::lblManuf).text.empty() && Shown(ControlId::lblProduct).text.empty() &&
                                 Shown(ControlId::lblVersion).text.empty() && foutput.empty() && vout.count == 0;
            if (!cleared) Break("cleared window", "the window shows values or takes input with no device attached");
        }

        // A refresh during this line that read a status report shows it.
        if (statusThisLine_ && s.DeviceAttached && vout.count == VOUT_ENTRY_COUNT) {
            auto hertz = static_cast<std::int32_t>(LittleEndian(*statusThisLine_, 3, 4));
            if (hertz < FOUT_MIN_HZ || hertz > FOUT_MAX_HZ) hertz = FOUT_DEFAULT_HZ;
            int index = static_cast<int>(LittleEndian(*statusThisLine_, 7, 2));
            if (index >= VOUT_ENTRY_COUNT) index = VOUT_FALLBACK_INDEX;
            if (foutput != std::to_string(hertz) || vout.chosen != index)
                Break("status shown", "status" + Hex(*statusThisLine_) + " shown as " + foutput + " and entry " +
                                          std::to_string(vout.chosen));
        }
    }

    ScenarioRunner& runner_;
    SimulatedPlatform& sim_;
    bool closed_ = false;
    std::map<std::string, std::pair<std::uint16_t, std::uint16_t>> ids_;
    std::map<Handle, OpenFile> open_;
    std::size_t seenMisuses_ = 0;
    bool lastOpenFailed_ = false;
    bool lastOverlappedOpenFailed_ = false;
    int commandsLeft_ = 0;
    int events_ = 0;
    int infoSets_ = 0;
    int preparsed_ = 0;
    std::uint16_t capsFeatureLength_ = 0;
    std::optional<std::vector<std::uint8_t>> statusThisLine_;
};

// ---------------------------------------------------------------------------------------------------------------
// Running and shrinking

// The script being run, for the sanitizer's report when the process dies on it.
const Script* g_running = nullptr;

struct RunResult {
    std::optional<Violation> violation;
    std::string output;  // what the scenario runner printed
};

RunResult Run(const Script& script) {
    RunResult result;
    std::ostringstream out;
    ScenarioRunner runner(out, [](ApiDeclarations& api) { return std::make_unique<QtScenarioWindow>(api); });
    Checker checker(runner);
    g_running = &script;
    for (std::size_t i = 0; i < script.size() && !checker.violation; ++i) {
        checker.BeforeLine(script[i]);
        try {
            runner.RunLine(script[i]);
        } catch (const std::exception& e) {
            checker.violation = Violation{"script", e.what(), i};
            break;
        }
        checker.AfterLine(script[i]);
        if (checker.violation) checker.violation->line = i;
    }
    g_running = nullptr;
    result.violation = checker.violation;
    result.output = out.str();
    return result;
}

// Deletes runs of lines, then single lines, while the script still breaks the same property. A script whose
// line no longer parses (an unplug of a device that is no longer plugged) does not count as breaking it.
Script Shrink(Script script, const std::string& property) {
    auto breaks = [&](const Script& candidate) {
        const RunResult r = Run(candidate);
        return r.violation && r.violation->property == property;
    };
    for (std::size_t chunk = script.size() / 2; chunk >= 1; chunk /= 2) {
        for (std::size_t at = 0; at < script.size();) {
            Script candidate = script;
            candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(at),
                            candidate.begin() + static_cast<std::ptrdiff_t>(std::min(script.size(), at + chunk)));
            if (!candidate.empty() && breaks(candidate)) script = std::move(candidate);
            else at += chunk;
        }
    }
    return script;
}

void PrintScript(const Script& script, FILE* to) {
    for (const std::string& line : script) std::fprintf(to, "    %s\n", line.c_str());
}

#ifdef TARVO_ASAN
void PrintScriptOnDeath() {
    if (!g_running) return;
    std::fprintf(stderr, "random window test: the process died running this script:\n");
    PrintScript(*g_running, stderr);
}
#endif

struct Options {
    long long sequences = 10000;
    std::uint64_t seed = 1;
    int maxSteps = 200;
    bool printScript = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--sequences" && hasValue) o.sequences = std::atoll(argv[++i]);
        else if (arg == "--seed" && hasValue) o.seed = std::strtoull(argv[++i], nullptr, 0);
        else if (arg == "--max-steps" && hasValue) o.maxSteps = std::atoi(argv[++i]);
        else if (arg == "--print-script") o.printScript = true;
        else return false;
    }
    return o.sequences > 0 && o.maxSteps > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--sequences N] [--seed S] [--max-steps L] [--print-script]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#ifdef TARVO_ASAN
    __sanitizer_set_death_callback(PrintScriptOnDeath);
#endif

    long long steps = 0, faults = 0, failed = 0;
    constexpr int PRINTED_FAILURES = 3;
    for (long long i = 0; i < options.sequences; ++i) {
        const std::uint64_t seed = options.seed + static_cast<std::uint64_t>(i);
        int sequenceFaults = 0;
        const Script script = SequenceMaker(seed, options.maxSteps).Make(sequenceFaults);
        steps += static_cast<long long>(script.size());
        faults += sequenceFaults;
        if (options.printScript) PrintScript(script, stdout);
        const RunResult result = Run(script);
        if (!result.violation) continue;
        if (++failed > PRINTED_FAILURES) continue;
        const Violation& v = *result.violation;
        std::printf("FAILED seed %" PRIu64 ": %s: %s (line %zu: %s)\n", seed, v.property.c_str(), v.detail.c_str(),
                    v.line + 1, script[v.line].c_str());
        const Script small = Shrink(script, v.property);
        const RunResult again = Run(small);
        std::printf("  a %zu-line script that breaks it (tarvo-pulse-scenario FILE replays it):\n", small.size());
        PrintScript(small, stdout);
        if (again.violation)
            std::printf("  there: %s (line %zu)\n", again.violation->detail.c_str(), again.violation->line + 1);
        std::printf("  it prints:\n%s", again.output.c_str());
    }
    std::printf("random window test: %lld sequences, %lld steps, %lld injected faults, seeds %" PRIu64 " to %" PRIu64
                "\n",
                options.sequences, steps, faults, options.seed,
                options.seed + static_cast<std::uint64_t>(options.sequences) - 1);
    std::printf("random_window: %lld passed, %lld failed\n", options.sequences - failed, failed);
    return failed == 0 ? 0 : 1;
}
