// The serial-number list as the device walks see it: the window's drop-down list SerNo.
#pragma once

#include <string>

namespace tarvo {

class SerialNumberList {
public:
    virtual ~SerialNumberList() = default;
    // Removes every entry; none is selected afterwards.
    virtual void Clear() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual void Insert(int index, const std::string& text) = 0;
    // Selects the entry and runs the list's click handler before returning.
    virtual void Select(int index) = 0;
    // Text of the selected entry; empty when none is selected.
    virtual std::string SelectedText() const = 0;
};

}  // namespace tarvo
