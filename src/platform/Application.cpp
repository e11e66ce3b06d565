#include "platform/Application.h"

#include <QWidget>

namespace veldra::platform {

void styleMainWindow(QWidget* window) {
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

MenuBarStyle menuBarStyle() {
    return MenuBarStyle::InWindow;
}

bool showStandardAboutPanel() {
    return false;
}

void hideApplication(QWidget* window) {
    window->showMinimized();
}

void hideOtherApplications() {
    // Other applications are the window manager's business here.
}

void showAllApplications(QWidget* window) {
    window->showNormal();
    window->raise();
    window->activateWindow();
}

} // namespace veldra::platform
