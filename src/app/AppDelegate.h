#pragma once

#include "platform/Application.h"
#include "platform/RunningLocation.h"
#include "ui/ContentView.h"

#include <QKeySequence>
#include <QList>
#include <QMainWindow>
#include <QObject>

#include <memory>

namespace veldra {

class RdpLauncher;
class SettingsManager;
class UpdaterState;

// Builds the one window around the sign-in view and installs the menu bar.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // `location`: where this copy runs from; one run from its disk image or
    // translocated offers to move itself to Applications.
    AppDelegate(SettingsManager& settings, UpdaterState& updater, RdpLauncher& launcher,
                ui::ContentView::Details details, platform::RunningLocation location = {},
                platform::MenuBarStyle menuStyle = platform::menuBarStyle());
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // Closing the window ends the application.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
    // "Check for Updates...": a check on the user's request.
    void checkForUpdates();

    QMainWindow* window() const { return m_window.get(); }
    ui::ContentView* contentView() const { return m_view; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void installMainMenu();
    void showAbout();

    SettingsManager& m_settings;
    UpdaterState& m_updater;
    RdpLauncher& m_launcher;
    ui::ContentView::Details m_details;
    platform::RunningLocation m_location;
    platform::MenuBarStyle m_menuStyle;
    std::unique_ptr<QMainWindow> m_window;
    // The menu bar's keys outside the Edit menu: they win over a text
    // field's own editing keys (Ctrl+U deletes the line on X11, say).
    QList<QKeySequence> m_menuKeys;
    ui::ContentView* m_view = nullptr;
};

} // namespace veldra
