#pragma once

class QWidget;

// Windows of this program never merge into tabs. Where the platform groups windows into
// tabs (macOS), these switch that off through the Objective-C runtime; elsewhere they do
// nothing. Main thread only.
namespace WindowTabbing {

// For every window of the process; true when the platform has the switch.
bool disableAutomaticTabbing();
// For the window that holds `widget`, once it has a native window; true when set.
bool disallowTabbing(QWidget *widget);

} // namespace WindowTabbing
