// The Win32 window's controls as screen readers and automation tools see them through Windows' accessibility
// (MSAA, and UI Automation through the standard controls' proxies). Windows names a control that has no caption
// of its own after the label just before it in Z order (the window stacks each label so); this annotates the
// names no label can give (the frequency box is named by its button, a value label by the label beside it), the
// value a value label shows, and the controls a reader passes over.
#pragma once

#include "window/Controls.h"

#include <windows.h>

#include <array>
#include <string>
#include <vector>

struct IAccPropServices;

namespace tarvo {

class ReaderAnnotations {
public:
    // Starts COM on this thread where it is not yet started, and takes the system's annotation service; without
    // it nothing is annotated, and Windows' own names stay.
    ReaderAnnotations();
    ~ReaderAnnotations();
    ReaderAnnotations(const ReaderAnnotations&) = delete;
    ReaderAnnotations& operator=(const ReaderAnnotations&) = delete;

    // Annotates the window's controls from the control table.
    void Annotate(const std::array<HWND, CONTROL_COUNT>& controls);
    // The value a value label shows, which a reader announces after its name.
    void ShowValue(HWND valueLabel, const std::string& value);
    // Removes every annotation, as the system requires before the controls are destroyed.
    void Clear();

private:
    IAccPropServices* services_ = nullptr;
    bool startedCom_ = false;
    std::vector<HWND> annotated_;
};

}  // namespace tarvo
