#pragma once

// How the main window comes and goes: while it is hidden it is a tool window,
// so it has no taskbar entry even on a desktop that lists unmapped windows;
// shown, it is an ordinary application window with a taskbar entry, in front.
// The program starts with the window hidden as a tool window and never
// shows it until one of these calls does.

class QWidget;

namespace kestrune {

// Makes `window` an application window, shows it normally (also out of a
// minimised state) and brings it to the front.
void ShowAsAppWindow(QWidget* window);

// Hides `window` and makes it a tool window again.
void HideToTray(QWidget* window);

} // namespace kestrune
