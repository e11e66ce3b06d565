#include "platform/Application.h"

#include <QWidget>

#import <AppKit/AppKit.h>

namespace veldra::platform {

void styleMainWindow(QWidget* window) {
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->winId(); // make the native window now
    NSView* view = reinterpret_cast<NSView*>(window->winId());
    NSWindow* native = view.window;
    native.titlebarAppearsTransparent = YES;
    native.titleVisibility = NSWindowTitleHidden;
    native.styleMask |= NSWindowStyleMaskFullSizeContentView;
    native.movableByWindowBackground = YES;
    native.backgroundColor = NSColor.whiteColor;
    native.releasedWhenClosed = NO;
}

MenuBarStyle menuBarStyle() {
    return MenuBarStyle::MacApplicationMenu;
}

bool showStandardAboutPanel() {
    [NSApp orderFrontStandardAboutPanel:nil];
    return true;
}

void hideApplication(QWidget*) {
    [NSApp hide:nil];
}

void hideOtherApplications() {
    [NSApp hideOtherApplications:nil];
}

void showAllApplications(QWidget*) {
    [NSApp unhideAllApplications:nil];
}

} // namespace veldra::platform
