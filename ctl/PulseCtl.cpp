#include "PulseCtl.h"

#include "device/GeneratorChoice.h"
#include "device/GeneratorSession.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FeatureReport.h"
#include "protocol/FrequencyInput.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>

#ifndef TARVO_VERSION
#define TARVO_VERSION "unknown"
#endif

namespace tarvo {
namespace {

constexpr std::string_view PROGRAM = "tarvo-pulse-ctl";

// --- Texts ---

// A JSON string; also how serial numbers and typed values are quoted in messages, so that no control
// character reaches the terminal.
std::string Quoted(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            quoted += "\\u00";
            quoted += HEX[byte >> 4];
            quoted += HEX[byte & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string JsonOrNull(const std::optional<std::string>& text) { return text ? Quoted(*text) : "null"; }

std::string Listing(const std::vector<std::string>& serials) {
    std::string text;
    for (const std::string& serial : serials) text += (text.empty() ? "" : ", ") + Quoted(serial);
    return text;
}

std::string AmplitudeText(int index) {
    return AmplitudeTexts()[static_cast<std::size_t>(index)] + " mV (index " + std::to_string(index) + ")";
}

// --- The command line ---

struct CommandLine {
    std::string command;
    std::optional<std::string> serial;
    std::optional<std::string> frequency;
    std::optional<std::string> amplitude;
    std::optional<std::string> amplitudeIndex;
    bool verify = false;
    bool json = false;
    bool help = false;
    bool version = false;
};

// A refused command line or input: exit status 2, nothing sent.
struct UsageError {
    std::string message;
};

struct ValueOption {
    std::string_view shortName;  // empty when there is none
    std::string_view longName;
    std::optional<std::string> CommandLine::*field;
};
constexpr ValueOption VALUE_OPTIONS[] = {
    {"-s", "--serial", &CommandLine::serial},
    {"", "--frequency", &CommandLine::frequency},
    {"", "--amplitude", &CommandLine::amplitude},
    {"", "--amplitude-index", &CommandLine::amplitudeIndex},
};

struct FlagOption {
    std::string_view shortName;
    std::string_view longName;
    bool CommandLine::*field;
};
constexpr FlagOption FLAG_OPTIONS[] = {
    {"", "--verify", &CommandLine::verify},
    {"", "--json", &CommandLine::json},
    {"-h", "--help", &CommandLine::help},
    {"", "--version", &CommandLine::version},
};

// The options each command takes besides --help and --version.
struct CommandOptions {
    std::string_view command;
    std::vector<std::string_view> options;
};
const std::vector<CommandOptions>& Commands() {
    static const std::vector<CommandOptions> commands = {
        {"list", {"--json"}},
        {"status", {"--serial", "--json"}},
        {"set", {"--serial", "--frequency", "--amplitude", "--amplitude-index", "--verify"}},
        {"restore", {"--serial", "--verify"}},
    };
    return commands;
}

// Options may stand before or after the command, a value after its option or joined by "=" to a long one.
CommandLine Parse(const std::vector<std::string>& args) {
    CommandLine line;
    std::vector<std::string_view> given;  // long names, in order
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string_view name = std::string_view(arg).substr(0, equals);
        bool known = false;
        for (const ValueOption& option : VALUE_OPTIONS) {
            if (name != option.longName && (option.shortName.empty() || name != option.shortName)) continue;
            known = true;
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError{std::string(option.longName) + " needs a value"};
            }
            if (line.*option.field) throw UsageError{std::string(option.longName) + " is given twice"};
            line.*option.field = value;
            given.push_back(option.longName);
        }
        for (const FlagOption& option : FLAG_OPTIONS) {
            if (name != option.longName && (option.shortName.empty() || name != option.shortName)) continue;
            if (equals != std::string::npos) throw UsageError{std::string(option.longName) + " takes no value"};
            known = true;
            line.*option.field = true;
            given.push_back(option.longName);
        }
        if (known) continue;
        if (arg.size() > 1 && arg[0] == '-') throw UsageError{"unknown option " + Quoted(arg)};
        if (!line.command.empty()) throw UsageError{"unexpected argument " + Quoted(arg)};
        line.command = arg;
    }
    if (line.help || line.version) return line;
    if (line.command.empty()) throw UsageError{"no command given (list, status, set or restore)"};
    const auto& commands = Commands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const CommandOptions& c) { return c.command == line.command; });
    if (command == commands.end()) throw UsageError{"unknown command " + Quoted(line.command)};
    for (std::string_view option : given) {
        if (std::find(command->options.begin(), command->options.end(), option) == command->options.end())
            throw UsageError{std::string(option) + " does not apply to " + line.command};
    }
    return line;
}

// --- The settings to send, checked before anything is sent ---

struct Settings {
    std::optional<std::int32_t> hertz;
    std::string frequencyNote;  // how the typed text became whole hertz, when it did not read as them already
    std::optional<int> amplitudeIndex;
};

// The frequency text, decided as the window's button decides it, with the window's messages.
std::int32_t FrequencyOf(const std::string& text, std::string& note) {
    const FrequencyCheck check = CheckFrequencyText(text);
    const std::string message = std::string(check.title) + ": " + std::string(check.prompt);
    switch (check.verdict) {
        case FrequencyVerdict::NotNumeric:
            throw UsageError{message + " (" + Quoted(text) + " is not a number)"};
        case FrequencyVerdict::OutOfRange:
            throw UsageError{message + " (" + Quoted(text) + "; the nearest accepted value is " +
                             HertzText(check.hertz) + ")"};
        case FrequencyVerdict::Accepted:
            break;
    }
    if (ParseFrequencyText(text) != static_cast<double>(check.hertz)) {
        // An accepted text has blanks only around the number.
        const std::size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
        note = " (" + text.substr(first, last - first + 1) + " rounded to whole hertz)";
    }
    return check.hertz;
}

// The list index of a millivolt text, or the refusal with what is nearest.
int AmplitudeIndexFromMillivolts(const std::string& text) {
    const AmplitudeChoice choice = AmplitudeIndexOf(text);
    const std::string refused = "there is no amplitude " + Quoted(text) + " mV in the list";
    switch (choice.verdict) {
        case AmplitudeVerdict::Listed:
            return choice.index;
        case AmplitudeVerdict::NotNumeric:
            throw UsageError{"the amplitude " + Quoted(text) + " is not a number of millivolts"};
        case AmplitudeVerdict::BelowList:
            throw UsageError{refused + ": the lowest is " + AmplitudeText(choice.index)};
        case AmplitudeVerdict::AboveList:
            throw UsageError{refused + ": the highest is " + AmplitudeText(choice.index)};
        case AmplitudeVerdict::NotAsWritten:
            throw UsageError{refused + ": give it as the list writes it, " +
                             AmplitudeTexts()[static_cast<std::size_t>(choice.index)]};
        case AmplitudeVerdict::Between:
            break;
    }
    throw UsageError{refused + ": the nearest are " + AmplitudeText(choice.index - 1) + " and " +
                     AmplitudeText(choice.index)};
}

int AmplitudeIndexFromIndexText(const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 3 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(text) >= VOUT_ENTRY_COUNT)
        throw UsageError{"the amplitude index " + Quoted(text) + " is not a whole number from 0 to " +
                         std::to_string(VOUT_ENTRY_COUNT - 1)};
    return std::stoi(text);
}

Settings SettingsOf(const CommandLine& line) {
    Settings settings;
    if (line.command == "restore") {
        settings.hertz = FOUT_DEFAULT_HZ;
        settings.amplitudeIndex = VOUT_DEFAULT_INDEX;
        return settings;
    }
    if (!line.frequency && !line.amplitude && !line.amplitudeIndex)
        throw UsageError{"set needs --frequency, --amplitude or --amplitude-index"};
    if (line.amplitude && line.amplitudeIndex) throw UsageError{"give --amplitude or --amplitude-index, not both"};
    if (line.frequency) settings.hertz = FrequencyOf(*line.frequency, settings.frequencyNote);
    if (line.amplitude) settings.amplitudeIndex = AmplitudeIndexFromMillivolts(*line.amplitude);
    if (line.amplitudeIndex) settings.amplitudeIndex = AmplitudeIndexFromIndexText(*line.amplitudeIndex);
    return settings;
}

// --- The generators ---

struct Streams {
    std::ostream& out;
    std::ostream& err;

    std::ostream& Error() const { return err << PROGRAM << ": "; }
};

// The list index of the generator a command is for, or the exit status when there is no one generator to take.
struct Choice {
    int index = -1;
    int status = CTL_DONE;
};

Choice Choose(const std::vector<std::string>& serials, const std::optional<std::string>& wanted, const Streams& io) {
    const GeneratorChoice choice = ChooseGenerator(serials, wanted);
    switch (choice.outcome) {
        case GeneratorChoiceOutcome::Chosen: return {static_cast<int>(choice.index)};
        case GeneratorChoiceOutcome::NoneAttached:
            io.Error() << "no pulse generator is attached\n";
            return {-1, CTL_NO_GENERATOR};
        case GeneratorChoiceOutcome::Several:
            io.Error() << serials.size() << " pulse generators are attached (" << Listing(serials)
                       << "); choose one with -s SERIAL\n";
            return {-1, CTL_BAD_USAGE};
        case GeneratorChoiceOutcome::NotAttached:
            io.Error() << "no pulse generator has the serial number " << Quoted(*wanted) << "; attached: "
                       << Listing(serials) << '\n';
            return {-1, CTL_NO_GENERATOR};
        case GeneratorChoiceOutcome::Duplicated:
            io.Error() << choice.count << " attached pulse generators have the serial number " << Quoted(*wanted)
                       << "; they cannot be told apart\n";
            return {-1, CTL_NO_GENERATOR};
    }
    return {-1, CTL_NO_GENERATOR};
}

// Lists, chooses and opens the generator of the command; CTL_DONE when it is open.
int OpenChosen(ApiDeclarations& api, GeneratorSession& session, const CommandLine& line, const Streams& io) {
    const std::vector<std::string> serials = ListGenerators(api);
    const Choice choice = Choose(serials, line.serial, io);
    if (choice.status != CTL_DONE) return choice.status;
    const std::string& serial = serials[static_cast<std::size_t>(choice.index)];
    if (session.Open(serial) == GeneratorSession::OpenOutcome::Opened) return CTL_DONE;
    io.Error() << "the pulse generator " << Quoted(serial) << " could not be opened\n";
    return CTL_DEVICE_FAILED;
}

// Says why no status could be read.
void ReportNoStatus(const GeneratorSession& session, const Streams& io) {
    const std::uint16_t length = session.FeatureReportLength();
    if (length < STATUS_FRAME_BYTES)
        io.Error() << "the generator's feature report of " << length << " bytes cannot hold a status ("
                   << STATUS_FRAME_BYTES << " bytes needed)\n";
    else
        io.Error() << "the generator failed the status request\n";
}

// --- Commands ---

int List(ApiDeclarations& api, GeneratorSession& session, const CommandLine& line, const Streams& io) {
    const std::vector<std::string> serials = ListGenerators(api);
    if (serials.empty()) {
        if (line.json) io.out << "[]\n";
        io.Error() << "no pulse generator is attached\n";
        return CTL_NO_GENERATOR;
    }
    int status = CTL_DONE;
    if (line.json) io.out << "[\n";
    for (std::size_t i = 0; i < serials.size(); ++i) {
        GeneratorIdentity identity;
        if (session.Open(serials[i]) == GeneratorSession::OpenOutcome::Opened) {
            identity = session.Identity();
            session.Close();
        } else {
            io.Error() << "the pulse generator " << Quoted(serials[i]) << " could not be opened\n";
            status = CTL_DEVICE_FAILED;
        }
        if (line.json) {
            io.out << "  {\"serial\": " << Quoted(serials[i]) << ", \"manufacturer\": " << JsonOrNull(identity.manufacturer)
                   << ", \"product\": " << JsonOrNull(identity.product) << ", \"version\": "
                   << JsonOrNull(identity.version) << '}' << (i + 1 < serials.size() ? "," : "") << '\n';
        } else {
            io.out << serials[i] << '\t' << identity.manufacturer.value_or("") << '\t' << identity.product.value_or("")
                   << '\t' << identity.version.value_or("") << '\n';
        }
    }
    if (line.json) io.out << "]\n";
    for (std::size_t i = 0; i < serials.size(); ++i) {
        if (std::find(serials.begin(), serials.begin() + static_cast<std::ptrdiff_t>(i), serials[i]) !=
            serials.begin() + static_cast<std::ptrdiff_t>(i))
            continue;
        if (std::count(serials.begin(), serials.end(), serials[i]) > 1)
            io.Error() << "several pulse generators have the serial number " << Quoted(serials[i])
                       << ": only the first of them can be opened, and every line of it shows that one\n";
    }
    return status;
}

int Status(ApiDeclarations& api, GeneratorSession& session, const CommandLine& line, const Streams& io) {
    if (const int opened = OpenChosen(api, session, line, io); opened != CTL_DONE) return opened;
    const std::string& serial = session.Serial();
    const StatusReading reading = session.ReadStatus();
    if (reading.outcome != GeneratorOutcome::Done) {
        ReportNoStatus(session, io);
        return CTL_DEVICE_FAILED;
    }
    const DeviceStatus& status = reading.status;
    const std::string& mv = AmplitudeTexts()[static_cast<std::size_t>(status.amplitudeIndex)];
    if (line.json) {
        io.out << "{\"serial\": " << Quoted(serial) << ", \"frequency_hz\": " << status.frequencyHz << ", \"amplitude_mv\": " << mv
               << ", \"amplitude_index\": " << status.amplitudeIndex
               << ", \"frequency_replaced\": " << (status.FrequencyReplaced() ? "true" : "false")
               << ", \"amplitude_replaced\": " << (status.AmplitudeReplaced() ? "true" : "false")
               << ", \"reported_frequency_hz\": " << status.reportedFrequencyHz
               << ", \"reported_amplitude_index\": " << status.reportedAmplitudeIndex << "}\n";
        return CTL_DONE;
    }
    io.out << "serial: " << serial << "\nfrequency: " << status.frequencyHz << " Hz";
    if (status.FrequencyReplaced())
        io.out << " (replaced: the generator reported " << status.reportedFrequencyHz << " Hz, outside "
               << FOUT_MIN_HZ << " to " << FOUT_MAX_HZ << " Hz)";
    io.out << "\namplitude: " << AmplitudeText(status.amplitudeIndex);
    if (status.AmplitudeReplaced())
        io.out << " (replaced: the generator reported index " << status.reportedAmplitudeIndex << ", above "
               << VOUT_ENTRY_COUNT - 1 << ")";
    io.out << '\n';
    return CTL_DONE;
}

// Sends the frequency, then the amplitude; stops at the first request that fails.
int Send(ApiDeclarations& api, GeneratorSession& session, const CommandLine& line, const Settings& settings,
         const Streams& io) {
    if (const int opened = OpenChosen(api, session, line, io); opened != CTL_DONE) return opened;
    const std::string& serial = session.Serial();
    // A command the feature report cannot hold is not made at all; one that is made may fail.
    auto sent = [&](GeneratorOutcome outcome, const char* command) {
        if (outcome == GeneratorOutcome::Done) return true;
        if (outcome == GeneratorOutcome::TooShort)
            io.Error() << "the feature report of " << Quoted(serial) << " (" << session.FeatureReportLength()
                       << " bytes) cannot hold the " << command << " command; it was not sent\n";
        else
            io.Error() << "the pulse generator " << Quoted(serial) << " failed the " << command << " command\n";
        return false;
    };
    if (settings.hertz) {
        if (!sent(session.SendFrequency(*settings.hertz), "frequency")) return CTL_DEVICE_FAILED;
        io.out << "frequency " << *settings.hertz << " Hz sent" << settings.frequencyNote << '\n';
    }
    if (settings.amplitudeIndex) {
        if (!sent(session.SendAmplitude(*settings.amplitudeIndex), "amplitude")) return CTL_DEVICE_FAILED;
        io.out << "amplitude " << AmplitudeText(*settings.amplitudeIndex) << " sent\n";
    }
    if (!line.verify) return CTL_DONE;

    // The settings as the generator reports them, before the window's replacements: a generator that reports
    // 0 Hz has not taken 10000000 Hz, although the window would show 10000000.
    const StatusReading reading = session.ReadStatus();
    if (reading.outcome != GeneratorOutcome::Done) {
        ReportNoStatus(session, io);
        io.Error() << "what was sent could not be verified\n";
        return CTL_DEVICE_FAILED;
    }
    const DeviceStatus& status = reading.status;
    bool same = true;
    if (settings.hertz && status.reportedFrequencyHz != *settings.hertz) {
        io.Error() << "verify: the generator reports " << status.reportedFrequencyHz << " Hz, not the "
                   << *settings.hertz << " Hz sent\n";
        same = false;
    }
    if (settings.amplitudeIndex && status.reportedAmplitudeIndex != *settings.amplitudeIndex) {
        io.Error() << "verify: the generator reports amplitude index " << status.reportedAmplitudeIndex
                   << ", not the " << AmplitudeText(*settings.amplitudeIndex) << " sent\n";
        same = false;
    }
    if (!same) return CTL_DEVICE_FAILED;
    io.out << "verified: the generator reports " << status.frequencyHz << " Hz and "
           << AmplitudeText(status.amplitudeIndex) << '\n';
    return CTL_DONE;
}

}  // namespace

std::string PulseCtlUsage() {
    std::ostringstream text;
    text << "Usage: " << PROGRAM << " COMMAND [OPTIONS]\n"
         << "\n"
         << "Reads and sets Tarvo Pulse Generators from scripts and test benches.\n"
         << "\n"
         << "Commands:\n"
         << "  list       one line per attached generator: serial number, maker, product, version\n"
         << "  status     the generator's frequency and amplitude\n"
         << "  set        send a frequency, an amplitude or both (the frequency first)\n"
         << "  restore    send the defaults: " << FOUT_DEFAULT_HZ << " Hz, then " << AmplitudeText(VOUT_DEFAULT_INDEX)
         << "\n"
         << "\n"
         << "Options:\n"
         << "  -s, --serial SERIAL      the generator with this serial number; needed when several are attached\n"
         << "      --frequency HZ       " << FOUT_MIN_HZ << " to " << FOUT_MAX_HZ
         << " Hz; a fraction is rounded half up\n"
         << "      --amplitude MV       one of the list's " << VOUT_ENTRY_COUNT << " amplitudes into 50 ohm, "
         << AmplitudeTexts().front() << " to " << AmplitudeTexts().back() << " mV\n"
         << "      --amplitude-index N  the list's entry 0 to " << VOUT_ENTRY_COUNT - 1 << " instead\n"
         << "      --verify             (set, restore) read the status afterwards; fail unless it shows what was sent\n"
         << "      --json               (list, status) print JSON\n"
         << "  -h, --help               print this text\n"
         << "      --version            print the version\n"
         << "\n"
         << "Exit status: 0 done; 1 the generator failed a request, could not be opened, or showed other settings\n"
         << "than were sent; 2 bad usage or input, or several generators and none chosen (nothing sent);\n"
         << "3 no generator, none with that serial number, or several with it.\n";
    return text.str();
}

int RunPulseCtl(const std::vector<std::string>& args, ApiDeclarations& api, std::ostream& out, std::ostream& err) {
    const Streams io{out, err};
    CommandLine line;
    Settings settings;
    try {
        line = Parse(args);
        if (line.help) {
            out << PulseCtlUsage();
            return CTL_DONE;
        }
        if (line.version) {
            out << PROGRAM << ' ' << TARVO_VERSION << '\n';
            return CTL_DONE;
        }
        if (line.command == "set" || line.command == "restore") settings = SettingsOf(line);
    } catch (const UsageError& e) {
        io.Error() << e.message << '\n';
        err << "Try '" << PROGRAM << " --help'.\n";
        return CTL_BAD_USAGE;
    }
    GeneratorSession session(api);
    if (line.command == "list") return List(api, session, line, io);
    if (line.command == "status") return Status(api, session, line, io);
    return Send(api, session, line, settings, io);
}

}  // namespace tarvo
