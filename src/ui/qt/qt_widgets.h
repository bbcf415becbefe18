#pragma once

#include <QWidget>
#include <string_view>

#include "app/window_layout.h"

namespace kw {

// The Qt widget of each kind of control, and how the model's state is written to it.

// Makes the widget of a control, placed at its position at `dots_per_inch`, in its colours and
// font. Its objectName is the control's name. It shows no caption, value or state yet.
QWidget* MakeControlWidget(const ControlLayout& layout, QWidget* parent, double dots_per_inch_x,
                           double dots_per_inch_y);

QString ToQString(std::string_view text);

// Writes a caption (or the text box's text) to a control's widget, with its accessible name.
void WriteCaption(QWidget* widget, ControlId id, std::string_view caption);
// Sets a progress bar's position.
void WriteProgress(QWidget* widget, int percent);
// Checks an option button that the model selected. (Qt unchecks its siblings.)
void WriteSelected(QWidget* widget, bool selected);

}  // namespace kw
