#include "platform/Application.h"

#include <QWidget>
#include <QtGlobal>

#import <AppKit/AppKit.h>

namespace veldra::platform {

void styleMainWindow(QWidget* window) {
    Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
#if QT_VERSION >= QT_VERSION_CHECK(6, 9, 0)
    // From 6.9 on Qt rebuilds the style mask from the window flags (on every
    // flag change and after full screen), dropping a full-size content view
    // set by hand; these hints are how it keeps one.
    flags |= Qt::ExpandedClientAreaHint | Qt::NoTitleBarBackgroundHint;
#endif
    window->setWindowFlags(flags);
    window->winId(); // make the native window now
    NSView* view = reinterpret_cast<NSView*>(window->winId());
    NSWindow* native = view.window;
    native.titleVisibility = NSWindowTitleHidden;
#if QT_VERSION < QT_VERSION_CHECK(6, 9, 0)
    native.titlebarAppearsTransparent = YES;
    native.styleMask |= NSWindowStyleMaskFullSizeContentView;
#endif
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
