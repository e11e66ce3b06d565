#pragma once

class QWidget;

namespace veldra::platform {

// Window and application chrome that differs per OS. On macOS: a transparent,
// title-less title bar with the content drawn under it, and the system's own
// hide, hide-others and show-all. Elsewhere: a normal title bar, and hiding
// minimises (there may be no dock to bring a hidden window back from).
void styleMainWindow(QWidget* window);
void hideApplication(QWidget* window);
void hideOtherApplications();
void showAllApplications(QWidget* window);

} // namespace veldra::platform
