// A toolkit's main window as the scenario runner drives it: what a user does to it, and what it shows. The Qt
// and the Win32 window each have one, so the same scripts run on both.
#pragma once

#include "window/frmMain.h"

#include <optional>
#include <string>

namespace tarvo {

struct ShownState {
    bool enabled = false;  // its own enabled state
    bool visible = false;  // its own visibility
    std::string text;      // caption or text; a list's chosen entry, empty when none
    int count = 0;         // a list's entries
    int chosen = -1;       // a list's chosen entry, -1 when none
};

class ScenarioWindow {
public:
    virtual ~ScenarioWindow() = default;

    virtual frmMain& form() = 0;

    virtual ShownState Window() const = 0;
    virtual ShownState State(ControlId id) const = 0;
    virtual std::string ListItem(ControlId id, int index) const = 0;
    virtual std::optional<ControlId> Focused() const = 0;
    virtual bool TimerRunning() const = 0;
    virtual int TimerInterval() const = 0;

    // A user's actions, through the toolkit's own events: each focuses the control first, as a mouse or the
    // keyboard would.
    virtual void Type(ControlId id, const std::string& text) = 0;  // replaces a text box's text
    virtual void Click(ControlId id) = 0;
    virtual void Choose(ControlId id, int index) = 0;  // picks an entry of a list, even the one already chosen
    virtual void Close() = 0;                          // closes the window
    // One tick of the window's timer, delivered as the toolkit delivers it.
    virtual void Tick() = 0;
};

}  // namespace tarvo
