// The main window's controls as designed: kinds, containers, captions, geometry in twips, tab order, initial
// states and fonts. Both toolkit windows build themselves from this one table.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace tarvo {

// In the order of the window's control table.
enum class ControlId {
    Frame1, Label5, lblProduct, lblSerialNumber, Label4, lblManuf, Label2, lblVersion, Label3, SerNo, Timer,
    Frame3, Foutput, SetFout, Vout, Label6, Label7, Factory, trig_frame, ext_trig_dir, Label9, ext_sync_freq,
    SetFsync, polarity, Label8,
};
inline constexpr int CONTROL_COUNT = static_cast<int>(ControlId::Label8) + 1;

enum class ControlKind { Frame, Label, ValueLabel, TextBox, Button, DropDownList, Timer };

struct FontSpec {
    const char* family;
    double points;
    bool cyrillic;  // the Cyrillic character set rather than the default one
};

struct ControlSpec {
    ControlId id;
    const char* name;
    ControlKind kind;
    std::optional<ControlId> container;  // none: the window's client area
    const char* caption;                 // UTF-8; empty for none
    int left, top, width, height;        // twips, from the container's top-left corner
    int tab;                             // place in the keyboard order; only controls that take the focus use it
    bool enabled;
    bool visible;
    FontSpec font;
};

inline constexpr const char* WINDOW_CAPTION = "Tarvo Pulse Generator";
inline constexpr int CLIENT_WIDTH_TWIPS = 6090;
inline constexpr int CLIENT_HEIGHT_TWIPS = 5220;
inline constexpr int TWIPS_PER_INCH = 1440;
inline constexpr FontSpec WINDOW_FONT = {"Microsoft Sans Serif", 8.25, false};

const std::array<ControlSpec, CONTROL_COUNT>& ControlTable();
// The row of the control table for a control.
inline const ControlSpec& Designed(ControlId id) { return ControlTable()[static_cast<int>(id)]; }
std::optional<ControlId> ControlByName(std::string_view name);

// Whether a control of this kind takes the keyboard focus (labels, frames and the timer never do).
bool TakesFocus(ControlKind kind);
// The controls that take the focus, in keyboard order.
const std::vector<ControlId>& TabOrder();

// What screen readers and automation tools (AT-SPI, MSAA, UI Automation) are told of a control.
// The control whose caption names it: the label beside a list or a value label, the button a text box's value is
// sent with. None where a control's own caption names it (frames, labels, buttons) or it has no name.
std::optional<ControlId> NamedBy(ControlId id);
// The name a control is announced by: its namer's caption, else its own (empty for lblSerialNumber).
const char* AccessibleName(ControlId id);

enum class ReaderPresence {
    Shown,      // announced as what it is
    OffScreen,  // it exists and is not hidden, but lies outside the client area: a reader says it is not showing
    Hidden,     // a reader passes over it, as the eye does
};
// Label7 is hidden; lblSerialNumber is never written and lies under lblProduct; the trigger/sync group lies
// below the client area.
ReaderPresence PresenceFor(ControlId id);

// Twips to pixels at a screen density in dots per inch, to the nearest pixel: 15 twips a pixel at 96 DPI.
int TwipsToPixels(int twips, int dpi);

}  // namespace tarvo
