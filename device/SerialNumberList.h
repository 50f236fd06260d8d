// The serial-number list as the device walks see it: the window's drop-down list SerNo.
#pragma once

#include <string>
#include <vector>

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

// The list as plain entries, for the programs and tests that walk without a window. It has no click handler.
class ListedSerialNumbers : public SerialNumberList {
public:
    void Clear() override {
        entries.clear();
        selected = -1;
    }
    void SetEnabled(bool on) override { enabled = on; }
    void Insert(int index, const std::string& text) override { entries.insert(entries.begin() + index, text); }
    void Select(int index) override { selected = index; }
    std::string SelectedText() const override {
        return selected < 0 ? std::string() : entries[static_cast<std::size_t>(selected)];
    }

    std::vector<std::string> entries;
    int selected = -1;
    bool enabled = false;
};

}  // namespace tarvo
