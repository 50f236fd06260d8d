// The Qt window's controls as screen readers and automation tools see them through Qt's accessibility (AT-SPI on
// Linux): names and label relations from the control table, and the controls a reader passes over.
#pragma once

#include "window/Controls.h"

#include <array>

class QObject;
class QString;
class QWidget;

namespace tarvo {

// Marks a control just made, before anything can ask for its accessible interface, so that the interfaces made
// here serve it where Qt's own do not: a list named by its label (Qt on Linux names a combo box by its chosen
// entry), and a control a reader passes over.
void MarkForReaders(QWidget* control, ControlId id);

// The window itself: a reader announces it as a window.
void MarkWindowForReaders(QWidget* window);

// Once every control exists: names each control by the caption the table gives it and ties each label to the
// control it names.
void NameForReaders(const std::array<QObject*, CONTROL_COUNT>& controls);

// The value a value label or a list shows, which a reader announces after the control's name (as its
// description: AT-SPI offers a label no value, and Qt 6.4 a combo box no selection).
void ShowValueToReaders(QWidget* control, const QString& value);

}  // namespace tarvo
