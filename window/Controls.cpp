#include "Controls.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarvo {
namespace {

constexpr FontSpec SANS_9 = {"Microsoft Sans Serif", 9.75, false};
constexpr FontSpec SANS_9_CYRILLIC = {"Microsoft Sans Serif", 9.75, true};
constexpr FontSpec SANS_12 = {"Microsoft Sans Serif", 12, false};
constexpr FontSpec ARIAL_9_CYRILLIC = {"Arial", 9.75, true};
constexpr FontSpec NO_FONT = {"", 0, false};

using K = ControlKind;
using C = ControlId;
constexpr std::optional<ControlId> WINDOW = std::nullopt;

constexpr std::array<ControlSpec, CONTROL_COUNT> TABLE = {{
    {C::Frame1, "Frame1", K::Frame, WINDOW, "Device details", 120, 100, 5800, 1935, 0, false, true, SANS_9},
    {C::Label5, "Label5", K::Label, C::Frame1, "Product name", 240, 360, 1215, 285, 5, true, true, SANS_9},
    {C::lblProduct, "lblProduct", K::ValueLabel, C::Frame1, "", 1680, 360, 3300, 330, 8, true, true, ARIAL_9_CYRILLIC},
    {C::lblSerialNumber, "lblSerialNumber", K::ValueLabel, C::Frame1, "", 1680, 360, 3300, 330, 10, true, true, SANS_9},
    {C::Label4, "Label4", K::Label, C::Frame1, "Made by", 240, 720, 1215, 285, 4, true, true, SANS_9},
    {C::lblManuf, "lblManuf", K::ValueLabel, C::Frame1, "", 1680, 720, 3300, 330, 7, true, true, SANS_9},
    {C::Label2, "Label2", K::Label, C::Frame1, "Version", 240, 1080, 1455, 285, 6, true, true, SANS_9},
    {C::lblVersion, "lblVersion", K::ValueLabel, C::Frame1, "", 1680, 1080, 3300, 330, 9, true, true, SANS_9},
    {C::Label3, "Label3", K::Label, C::Frame1, "Serial Number", 240, 1440, 1815, 285, 3, true, true, SANS_9},
    {C::SerNo, "SerNo", K::DropDownList, C::Frame1, "", 1700, 1380, 2055, 360, 14, false, true, SANS_9},
    {C::Timer, "Timer", K::Timer, C::Frame1, "", 0, 0, 0, 0, -1, false, false, NO_FONT},
    {C::Frame3, "Frame3", K::Frame, WINDOW, "Pulse output", 105, 2300, 5800, 1800, 11, false, true, SANS_9},
    {C::Foutput, "Foutput", K::TextBox, C::Frame3, "", 250, 400, 2000, 420, 20, true, true, SANS_12},
    {C::SetFout, "SetFout", K::Button, C::Frame3, "Pulse frequency, Hz", 2500, 400, 3045, 420, 19, true, true, SANS_12},
    {C::Vout, "Vout", K::DropDownList, C::Frame3, "", 250, 1100, 2000, 420, 1, false, true, SANS_12},
    {C::Label6, "Label6", K::Label, C::Frame3, "Amplitude into 50R load, mV", 2505, 1140, 3200, 420, 12, false, true, SANS_12},
    {C::Label7, "Label7", K::Label, C::Frame3, "Deemphasis, %", 1500, 2220, 2415, 315, 13, false, false, SANS_9_CYRILLIC},
    {C::Factory, "Factory", K::Button, WINDOW, "Restore default settings", 1155, 4410, 3735, 495, 2, true, true, SANS_12},
    // The trigger/sync group starts 120 twips below the client area: it is never seen and never used.
    {C::trig_frame, "trig_frame", K::Frame, WINDOW, "External trigger/sync", 120, 5340, 5800, 2500, 15, false, true, SANS_9},
    {C::ext_trig_dir, "ext_trig_dir", K::DropDownList, C::trig_frame, "", 250, 400, 2000, 420, 16, false, true, SANS_12},
    {C::Label9, "Label9", K::Label, C::trig_frame, "Trigger/sync function", 2505, 440, 2700, 420, 17, false, true, SANS_12},
    {C::ext_sync_freq, "ext_sync_freq", K::TextBox, C::trig_frame, "", 250, 1100, 2000, 420, 18, false, true, SANS_12},
    {C::SetFsync, "SetFsync", K::Button, C::trig_frame, "Sync input frequency, Hz", 2500, 1100, 3045, 420, 23, false, true, SANS_12},
    {C::polarity, "polarity", K::DropDownList, C::trig_frame, "", 250, 1800, 2000, 420, 21, false, true, SANS_12},
    {C::Label8, "Label8", K::Label, C::trig_frame, "Polarity", 2500, 1840, 2700, 420, 22, false, true, SANS_12},
}};

// Which caption names which control for a reader: each list and value label the label beside it, each text box
// the button that sends its value.
constexpr std::array<std::pair<ControlId, ControlId>, 9> NAMED_BY = {{
    {C::lblProduct, C::Label5},
    {C::lblManuf, C::Label4},
    {C::lblVersion, C::Label2},
    {C::SerNo, C::Label3},
    {C::Foutput, C::SetFout},
    {C::Vout, C::Label6},
    {C::ext_trig_dir, C::Label9},
    {C::ext_sync_freq, C::SetFsync},
    {C::polarity, C::Label8},
}};

constexpr bool TableIsInIdOrder() {
    for (int i = 0; i < CONTROL_COUNT; ++i)
        if (static_cast<int>(TABLE[i].id) != i) return false;
    return true;
}
static_assert(TableIsInIdOrder(), "the control table is indexed by ControlId");

}  // namespace

const std::array<ControlSpec, CONTROL_COUNT>& ControlTable() { return TABLE; }

std::optional<ControlId> ControlByName(std::string_view name) {
    for (const ControlSpec& c : TABLE)
        if (name == c.name) return c.id;
    return std::nullopt;
}

bool TakesFocus(ControlKind kind) {
    return kind == ControlKind::TextBox || kind == ControlKind::Button || kind == ControlKind::DropDownList;
}

const std::vector<ControlId>& TabOrder() {
    static const std::vector<ControlId> order = [] {
        std::vector<ControlSpec> focusable;
        for (const ControlSpec& c : TABLE)
            if (TakesFocus(c.kind)) focusable.push_back(c);
        std::sort(focusable.begin(), focusable.end(), [](const auto& a, const auto& b) { return a.tab < b.tab; });
        std::vector<ControlId> ids;
        for (const ControlSpec& c : focusable) ids.push_back(c.id);
        return ids;
    }();
    return order;
}

std::optional<ControlId> NamedBy(ControlId id) {
    for (const auto& [named, namer] : NAMED_BY)
        if (named == id) return namer;
    return std::nullopt;
}

const char* AccessibleName(ControlId id) { return Designed(NamedBy(id).value_or(id)).caption; }

ReaderPresence PresenceFor(ControlId id) {
    const ControlSpec& c = Designed(id);
    // lblSerialNumber shows nothing, ever: the serial number is read from SerNo.
    if (!c.visible || id == ControlId::lblSerialNumber) return ReaderPresence::Hidden;
    const int top = c.top + (c.container ? Designed(*c.container).top : 0);
    return top >= CLIENT_HEIGHT_TWIPS ? ReaderPresence::OffScreen : ReaderPresence::Shown;
}

int TwipsToPixels(int twips, int dpi) {
    return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / TWIPS_PER_INCH));
}

}  // namespace tarvo
