// The window's searches while pulse generators are plugged in and unplugged among 16 interfaces of other devices.
// The hidapi layer answers a walk from its last enumeration while its hotplug watch sees nothing change, and
// opens other devices' interfaces only once: every search here is compared with a fresh walk, made by a new
// HidapiPlatform that knows nothing yet, call by call where nothing changes in between. Expects no other device
// with the generator's IDs, as in the test's guest.
#include "e2e_support.h"

#include "device/HidString.h"
#include "device/HidapiPlatform.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::e2e {
namespace {

const char* const SERIAL_C = "TPG-E2E-C";
const char* const SERIAL_D = "TPG-E2E-D";
const char* const SERIAL_E = "TPG-E2E-E";
constexpr int FOREIGN_INTERFACES = 16;
constexpr int FOREIGN_OPENED_BY_WALKS = FOREIGN_INTERFACES / 2;  // the kernel holds the keyboards open itself
constexpr uid_t NOBODY = 65534;

std::string HandleText(Handle h) { return h == INVALID_HANDLE_VALUE ? "invalid" : "handle"; }

// The calls of the walks, each with what it was given and what it gave, handles only as valid or invalid, so
// that the walks of two platforms compare. The read event is the session's, not the walk's, and is left out.
class Recorder final : public ApiDeclarations {
public:
    explicit Recorder(ApiDeclarations& inner) : inner_(inner) {}
    std::vector<std::string> trace;

    void HidD_GetHidGuid(GUID& guid) override { inner_.HidD_GetHidGuid(guid); }
    HDEVINFO SetupDiGetClassDevsA(const GUID& guid, const char* enumerator, Handle parent,
                                  std::uint32_t flags) override {
        const HDEVINFO set = inner_.SetupDiGetClassDevsA(guid, enumerator, parent, flags);
        trace.push_back("ClassDevs -> " + HandleText(set));
        return set;
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const void* info, const GUID& guid, std::uint32_t index,
                                     SP_DEVICE_INTERFACE_DATA& data) override {
        const BOOL r = inner_.SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
        trace.push_back("Enum " + std::to_string(index) + " -> " + std::to_string(r));
        return r;
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA& data, std::uint8_t* detail,
                                          std::uint32_t size, std::uint32_t* required, void* info) override {
        const BOOL r = inner_.SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
        trace.push_back("Detail " + std::to_string(size) + " -> " + std::to_string(r) + " " +
                        std::to_string(required ? *required : 0));
        return r;
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        const BOOL r = inner_.SetupDiDestroyDeviceInfoList(set);
        trace.push_back("Destroy -> " + std::to_string(r));
        return r;
    }
    Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share, const SECURITY_ATTRIBUTES* sa,
                       std::uint32_t disposition, std::uint32_t flags, Handle tmpl) override {
        const Handle h = inner_.CreateFileA(path, access, share, sa, disposition, flags, tmpl);
        trace.push_back("Open " + std::string(path) + (flags ? " overlapped" : "") + " -> " + HandleText(h));
        return h;
    }
    BOOL HidD_GetAttributes(Handle device, HIDD_ATTRIBUTES& a) override {
        const BOOL r = inner_.HidD_GetAttributes(device, a);
        char ids[32];
        std::snprintf(ids, sizeof ids, " %04X:%04X v%04X", a.VendorID, a.ProductID, a.VersionNumber);
        trace.push_back("Attributes -> " + std::to_string(r) + (r ? ids : ""));
        return r;
    }
    BOOL HidD_GetSerialNumberString(Handle device, std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = inner_.HidD_GetSerialNumberString(device, buffer, length);
        trace.push_back("Serial -> " + std::to_string(r) + " " + HidStringToText(inner_, buffer, length));
        return r;
    }
    BOOL HidD_GetManufacturerString(Handle device, std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = inner_.HidD_GetManufacturerString(device, buffer, length);
        trace.push_back("Manufacturer -> " + std::to_string(r));
        return r;
    }
    BOOL HidD_GetProductString(Handle device, std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = inner_.HidD_GetProductString(device, buffer, length);
        trace.push_back("Product -> " + std::to_string(r));
        return r;
    }
    BOOL HidD_GetPreparsedData(Handle device, PreparsedData& preparsed) override {
        const BOOL r = inner_.HidD_GetPreparsedData(device, preparsed);
        trace.push_back("Preparsed -> " + std::to_string(r));
        return r;
    }
    NTSTATUS HidP_GetCaps(PreparsedData preparsed, HIDP_CAPS& caps) override {
        const NTSTATUS r = inner_.HidP_GetCaps(preparsed, caps);
        trace.push_back("Caps -> " + std::to_string(r) + " " + std::to_string(caps.InputReportByteLength) + " " +
                        std::to_string(caps.FeatureReportByteLength));
        return r;
    }
    BOOL HidD_FreePreparsedData(PreparsedData preparsed) override {
        const BOOL r = inner_.HidD_FreePreparsedData(preparsed);
        trace.push_back("FreePreparsed -> " + std::to_string(r));
        return r;
    }
    BOOL HidD_SetFeature(Handle device, const std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = inner_.HidD_SetFeature(device, buffer, length);
        trace.push_back("SetFeature -> " + std::to_string(r));
        return r;
    }
    BOOL HidD_GetFeature(Handle device, std::uint8_t* buffer, std::uint32_t length) override {
        const BOOL r = inner_.HidD_GetFeature(device, buffer, length);
        trace.push_back("GetFeature -> " + std::to_string(r));
        return r;
    }
    Handle CreateEventA(const SECURITY_ATTRIBUTES* sa, BOOL manual, BOOL initial, const char* name) override {
        return inner_.CreateEventA(sa, manual, initial, name);
    }
    BOOL ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* read, OVERLAPPED* o) override {
        const BOOL r = inner_.ReadFile(file, buffer, n, read, o);
        trace.push_back("Read -> " + std::to_string(r));
        return r;
    }
    BOOL CloseHandle(Handle object) override {
        const BOOL r = inner_.CloseHandle(object);
        trace.push_back("Close -> " + std::to_string(r));
        return r;
    }
    std::string AnsiToUtf8(std::string_view ansi) const override { return inner_.AnsiToUtf8(ansi); }

private:
    ApiDeclarations& inner_;
};

// What a search leaves for the window: the list, and the device it opened.
struct Outcome {
    std::vector<std::string> entries;
    int selected = -1;
    bool enabled = false;
    bool attached = false;
    std::string serial;  // of the opened device: the selected entry

    bool operator==(const Outcome&) const = default;
};

std::string Describe(const Outcome& o) {
    return "list " + Text(o.entries) + " selected " + std::to_string(o.selected) + (o.enabled ? " enabled" : "") +
           (o.attached ? ", opened " + o.serial : ", nothing opened");
}

// One search as the window makes it on a tick without a device: scan, then open the selected generator.
Outcome Search(DeviceContext c, const ListModel& list) {
    c.session.RefreshComplete = false;
    Scan_USB_devices(c);
    c.session.DeviceAttached = FindTheHid(c);
    return {list.entries, list.selected, list.enabled, c.session.DeviceAttached,
            c.session.DeviceAttached ? list.SelectedText() : std::string()};
}

struct Walk {
    Outcome outcome;
    std::vector<std::string> trace;
};

// A search on a new platform, which enumerates and opens everything; what it opened is closed again.
Walk FreshSearch() {
    HidapiPlatform platform;
    Recorder api(platform);
    DeviceSession s;
    ListModel list;
    Walk walk{Search({s, api, list}, list), api.trace};
    if (s.DeviceAttached) {
        api.CloseHandle(s.DeviceHandle);
        api.CloseHandle(s.ReadHandle);
    }
    api.CloseHandle(s.ReadEvent);
    return walk;
}

// The first call where two traces part, for the check's line.
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::string x = i < a.size() ? a[i] : "(end)", y = i < b.size() ? b[i] : "(end)";
        if (x != y) return " (call " + std::to_string(i) + ": \"" + x + "\" against a fresh walk's \"" + y + "\")";
    }
    return "";
}

// The window's platform and state across ticks.
struct Window {
    HidapiPlatform platform;
    Recorder api{platform};
    DeviceSession session;
    ListModel list;

    DeviceContext Context() { return {session, api, list}; }
    Outcome Tick() {
        api.trace.clear();
        return Search(Context(), list);
    }
    // A search compared with a fresh walk right after it, call by call.
    void TickLikeFresh(const std::string& what, bool attached) {
        const Outcome tick = Tick();
        const std::vector<std::string> trace = api.trace;
        const Walk fresh = FreshSearch();
        Check(tick == fresh.outcome && tick.attached == attached,
              what + ": " + Describe(tick) + (tick == fresh.outcome ? "" : "; fresh walk: " + Describe(fresh.outcome)));
        Check(trace == fresh.trace, what + ": every call gives what it gives in a fresh walk" +
                                        FirstDifference(trace, fresh.trace));
    }
};

long OpensNow(Generator& foreign) {
    foreign.Signal(SIGUSR1);
    const std::string line = foreign.WaitForNextLine("OPENS ");
    return line.empty() ? -1 : std::atol(line.c_str() + 6);
}

// The other devices' open count once it has settled: the kernel hands each first open to their program as an
// event it reads in its own time, so on a loaded machine a count asked for at once can lag behind the opens
// already made. Asked again every 200 ms until two answers agree (at most 20 times).
long Opens(Generator& foreign) {
    long last = OpensNow(foreign);
    for (int i = 0; i < 20 && last >= 0; ++i) {
        usleep(200 * 1000);
        const long now = OpensNow(foreign);
        if (now == last) return now;
        last = now;
    }
    return last;
}

long CountPrefix(const std::vector<std::string>& trace, const std::string& prefix) {
    return std::count_if(trace.begin(), trace.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace

void RunHotplugChecks(const std::string& virtualProgram, const std::string& foreignProgram) {
    std::printf("-- searches among %d interfaces of other devices\n", FOREIGN_INTERFACES);
    Generator foreign(foreignProgram, {"--count", std::to_string(FOREIGN_INTERFACES)});
    Check(foreign.WaitForLine("READY"), "16 interfaces of other devices are plugged in");
    Window w;

    // Nothing changes: the layer opens the other devices' interfaces once, and every search equals a fresh one.
    const Outcome first = w.Tick();
    Check(!first.attached && CountPrefix(w.api.trace, "Open ") >= 2 * FOREIGN_INTERFACES,
          "the first search examines each interface in both walks and lists nothing: " + Describe(first));
    const long opensBefore = Opens(foreign);
    for (int i = 0; i < 5; ++i) w.Tick();
    const long opensAfter = Opens(foreign);
    Check(opensBefore >= 0 && opensAfter == opensBefore,
          "five more searches open none of them (opens " + std::to_string(opensBefore) + ", then " +
              std::to_string(opensAfter) + ")");
    FreshSearch();
    const long opensFresh = Opens(foreign);
    CheckEq(opensFresh - opensAfter, long{FOREIGN_OPENED_BY_WALKS}, "while a search on a new platform opens each once");
    w.TickLikeFresh("a search with nothing plugged or unplugged", false);

    // A generator plugged in during the searches (after the third): every search gives what a fresh walk made
    // just before or just after it gives, so the first search after the generator can be found opens it.
    constexpr int PLUGGED_AFTER = 3;
    std::unique_ptr<Generator> c;
    bool agreed = true, missed = false;
    Outcome tick;
    int ticks = 0;
    const auto until = std::chrono::steady_clock::now() + WAIT;
    while (!tick.attached && std::chrono::steady_clock::now() < until) {
        if (ticks == PLUGGED_AFTER)
            c = std::make_unique<Generator>(virtualProgram, std::vector<std::string>{"--serial", SERIAL_C});
        const Walk before = FreshSearch();
        tick = w.Tick();
        const Walk after = FreshSearch();
        ++ticks;
        if (tick != before.outcome && tick != after.outcome) {
            agreed = false;
            std::printf("     search %d: %s; fresh walks: %s / %s\n", ticks, Describe(tick).c_str(),
                        Describe(before.outcome).c_str(), Describe(after.outcome).c_str());
        }
        if (before.outcome.attached && !tick.attached) missed = true;
        std::this_thread::sleep_for(5ms);
    }
    Check(tick.attached && tick.serial == SERIAL_C && ticks > PLUGGED_AFTER,
          "the generator plugged in during the searches is opened: " + Describe(tick) + " after " +
              std::to_string(ticks) + " searches");
    if (!c) return;  // the searches ran out of time before the plug; the check above failed
    Check(agreed, "each of those searches gave what a fresh walk just before or after it gave");
    Check(!missed, "none of them missed the generator once a fresh walk had found it");
    Check(PollUntilAnswered(w.api, w.session), "the opened generator answers the poll");

    // A second generator plugged in while the first is open; then the open one is unplugged while the other
    // devices stay: the same tick's search opens the second one.
    Generator d(virtualProgram, {"--serial", SERIAL_D});
    const auto listedBoth = [] { return FreshSearch().outcome.entries.size() == 2; };
    bool both = false;
    for (auto end = std::chrono::steady_clock::now() + WAIT; !both && std::chrono::steady_clock::now() < end;)
        both = listedBoth();
    Check(both, "a fresh walk lists both generators");
    c->Signal(SIGTERM);
    CheckEq(c->WaitForExit(), 0, "the open generator is unplugged");
    Check(PollUntilSilent(w.api, w.session), "the poll read fails");
    CloseDevice(w.api, w.session);
    w.TickLikeFresh("the search of the same tick opens the other generator", true);
    Check(w.list.entries == std::vector<std::string>{SERIAL_D}, "and lists only it " + Text(w.list.entries));

    // Generators that cannot be opened (no access) are tried again by every search: once they can be, with
    // nothing plugged or unplugged, the next search opens one. E is plugged in while no search runs, so the
    // searches first meet it without access. (The other devices' interfaces were opened before the access
    // changed and a fresh walk opens none of them now: the list and the open device are compared.)
    CloseDevice(w.api, w.session);
    Generator e(virtualProgram, {"--serial", SERIAL_E});
    bool listed = false;
    for (auto end = std::chrono::steady_clock::now() + WAIT; !listed && std::chrono::steady_clock::now() < end;)
        listed = FreshSearch().outcome.entries.size() == 2;
    Check(listed, "a third generator is plugged in beside the second");
    Check(seteuid(NOBODY) == 0, "the searches run without access to the device nodes");
    bool hidden = true;
    for (int i = 0; i < 3; ++i) {
        const Outcome without = w.Tick();
        hidden = hidden && !without.attached && without.entries.empty() && without == FreshSearch().outcome;
    }
    Check(seteuid(0) == 0, "access is given back");
    Check(hidden, "three searches without access list and open nothing, as fresh walks do");
    w.TickLikeFresh("the next search with access lists both and opens one", true);
    std::vector<std::string> entries = w.list.entries;
    std::sort(entries.begin(), entries.end());
    Check(entries == std::vector<std::string>{SERIAL_D, SERIAL_E}, "both are listed " + Text(w.list.entries));

    // Unplugging the generators, then the other devices.
    CloseDevice(w.api, w.session);
    d.Signal(SIGTERM);
    e.Signal(SIGTERM);
    CheckEq(d.WaitForExit() + e.WaitForExit(), 0, "both generators are unplugged");
    w.TickLikeFresh("the next search", false);
    foreign.Signal(SIGTERM);
    CheckEq(foreign.WaitForExit(), 0, "the other devices are unplugged");
    w.TickLikeFresh("the search after that", false);
    CheckEq(CountPrefix(w.api.trace, "Open "), 0L, "and it has nothing left to open");
    w.api.CloseHandle(w.session.ReadEvent);
}

}  // namespace tarvo::e2e
