#pragma once

class QWidget;

namespace veldra::platform {

// Window and application chrome that differs per OS. On macOS: a transparent,
// title-less title bar with the content drawn under it, and the system's own
// hide, hide-others and show-all. Elsewhere: a normal title bar, and hiding
// minimises (there may be no dock to bring a hidden window back from).
void styleMainWindow(QWidget* window);

// Who builds the application menu. On macOS Qt builds it, with the system's
// own Hide, Hide Others and Show All, and moves in only actions that carry a
// menu role; a menu of our own named like the application would show twice.
enum class MenuBarStyle { InWindow, MacApplicationMenu };
MenuBarStyle menuBarStyle();

// Shows the platform's standard About panel (name, version and icon from
// Info.plist) and answers true; false where the platform has none.
bool showStandardAboutPanel();

void hideApplication(QWidget* window);
void hideOtherApplications();
void showAllApplications(QWidget* window);

} // namespace veldra::platform
