// What the window's behaviour needs of a toolkit's window: making its controls show, read and take values.
// A toolkit window (Qt, Win32) implements this and calls the handlers of frmMain on its controls' events.
#pragma once

#include "Controls.h"

#include <span>
#include <string>

namespace tarvo {

class FormView {
public:
    virtual ~FormView() = default;

    // Puts the window on screen, not modal.
    virtual void ShowForm() = 0;

    // A caption or a text box's text, in UTF-8. Setting the text a control already shows changes nothing.
    virtual void SetText(ControlId id, const std::string& text) = 0;
    virtual std::string Text(ControlId id) const = 0;
    // The control's own enabled state; a control inside a disabled frame takes no input whatever its own.
    virtual void SetEnabled(ControlId id, bool enabled) = 0;
    virtual void SetFocus(ControlId id) = 0;

    // Drop-down lists. Nothing here runs a handler: a choice made by code runs its handler from frmMain.
    virtual void ClearList(ControlId id) = 0;
    virtual void AppendListItems(ControlId id, std::span<const std::string> texts) = 0;
    virtual void InsertListItem(ControlId id, int index, const std::string& text) = 0;
    virtual void SetListIndex(ControlId id, int index) = 0;  // -1: no entry chosen
    virtual int ListIndex(ControlId id) const = 0;           // -1 when no entry is chosen
    virtual int ListCount(ControlId id) const = 0;

    // The window's timer: ticks call frmMain::Timer_Timer on the window's thread. The interval may change
    // while it runs.
    virtual void StartTimer() = 0;
    virtual void StopTimer() = 0;
    virtual void SetTimerInterval(int milliseconds) = 0;

    // A modal message box with an OK button and no icon.
    virtual void MessageBox(const std::string& title, const std::string& prompt) = 0;
};

}  // namespace tarvo
