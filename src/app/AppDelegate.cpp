#include "app/AppDelegate.h"

#include "platform/Application.h"
#include "settings/SettingsManager.h"
#include "ui/MovePrompt.h"
#include "updater/engine/UpdaterState.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>

namespace veldra {

AppDelegate::AppDelegate(SettingsManager& settings, UpdaterState& updater, RdpLauncher& launcher,
                         ui::ContentView::Details details, platform::RunningLocation location,
                         platform::MenuBarStyle menuStyle)
    : m_settings(settings), m_updater(updater), m_launcher(launcher), m_details(std::move(details)),
      m_location(std::move(location)), m_menuStyle(menuStyle) {}

AppDelegate::~AppDelegate() {
    qApp->removeEventFilter(this);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // A focused field claims the keys it edits with before any shortcut is
    // tried; leave it only the Edit menu's, which it implements itself.
    if (event->type() == QEvent::ShortcutOverride && m_window) {
        auto* field = qobject_cast<QLineEdit*>(watched);
        if (field && field->window() == m_window.get()) {
            const QKeySequence key(static_cast<QKeyEvent*>(event)->keyCombination());
            if (m_menuKeys.contains(key))
                return true; // not accepted: the menu's shortcut runs
        }
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::applicationDidFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    m_window = std::make_unique<QMainWindow>();
    m_view = new ui::ContentView(m_settings, m_updater, m_launcher, m_details);
    m_window->setCentralWidget(m_view);
    m_window->setWindowTitle(QStringLiteral("Veldra Cloud Desktop"));
    m_window->setAttribute(Qt::WA_DeleteOnClose, false);
    platform::styleMainWindow(m_window.get());
    installMainMenu();
    m_window->setFixedSize(m_window->sizeHint());

    m_window->show();
    // Centre the whole frame, title bar included, once the frame is known.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        m_window->move(m_window->pos() + screen->availableGeometry().center() -
                       m_window->frameGeometry().center());
    m_window->raise();
    m_window->activateWindow();
    (new ui::MovePrompt(m_updater, m_settings, m_location, m_window.get()))->offer();
}

void AppDelegate::checkForUpdates() {
    m_updater.checkForUpdates(true);
}

void AppDelegate::showAbout() {
    if (platform::showStandardAboutPanel())
        return;
    QMessageBox::about(
        m_window.get(), QStringLiteral("About Veldra Cloud Desktop"),
        QStringLiteral("Veldra Cloud Desktop\nVersion %1").arg(m_details.appVersion));
}

namespace {

// The focused text field, for the Edit menu.
QLineEdit* focusedField() {
    return qobject_cast<QLineEdit*>(QApplication::focusWidget());
}

} // namespace

void AppDelegate::installMainMenu() {
    QMenuBar* bar = m_window->menuBar();
    QMainWindow* window = m_window.get();

    // The application menu. On macOS the platform builds it and titles it with
    // the application's name; ours only lends it the three actions that carry
    // a role, and, left with nothing of its own, is hidden from the menu bar.
    const bool macMenu = m_menuStyle == platform::MenuBarStyle::MacApplicationMenu;
    QMenu* app = bar->addMenu(QStringLiteral("Veldra Cloud Desktop"));
    QAction* about =
        app->addAction(QStringLiteral("About Veldra Cloud Desktop"), this, &AppDelegate::showAbout);
    about->setMenuRole(QAction::AboutRole);
    if (!macMenu)
        app->addSeparator();
    QAction* check =
        app->addAction(QStringLiteral("Check for Updates..."), this, &AppDelegate::checkForUpdates);
    check->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U)); // Command-U on macOS
    check->setMenuRole(QAction::ApplicationSpecificRole);
    // Newer versions before everyone else, unless the organisation decides.
    QAction* beta = app->addAction(QStringLiteral("Get Beta Updates"));
    beta->setCheckable(true);
    beta->setChecked(m_settings.betaUpdates());
    beta->setEnabled(!m_settings.isBetaUpdatesForced());
    beta->setMenuRole(QAction::ApplicationSpecificRole);
    connect(beta, &QAction::toggled, this, [this](bool on) { m_settings.setBetaUpdates(on); });
    if (!macMenu) {
        app->addSeparator();
        QAction* hide = app->addAction(QStringLiteral("Hide Veldra Cloud Desktop"), window,
                                       [window] { platform::hideApplication(window); });
        hide->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
        // Command-H belongs to the row above; two actions on one key would
        // cancel each other out here, so this one is reached with the mouse.
        app->addAction(QStringLiteral("Hide Others"), window,
                       [] { platform::hideOtherApplications(); });
        app->addAction(QStringLiteral("Show All"), window,
                       [window] { platform::showAllApplications(window); });
        for (QAction* action : app->actions().mid(app->actions().size() - 3))
            action->setMenuRole(QAction::NoRole);
        app->addSeparator();
    }
    QAction* quit = app->addAction(QStringLiteral("Quit Veldra Cloud Desktop"), window, [] {
        QApplication::closeAllWindows();
        QApplication::quit();
    });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);

    for (QAction* action : app->actions())
        if (!action->shortcut().isEmpty())
            m_menuKeys << action->shortcut();

    QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
    const auto editAction = [edit, window](const QString& title, const QKeySequence& key,
                                           auto call) {
        QAction* action = edit->addAction(title, window, [call] {
            if (QLineEdit* field = focusedField())
                call(field);
        });
        action->setShortcut(key);
        action->setMenuRole(QAction::NoRole);
        return action;
    };
    editAction(QStringLiteral("Undo"), QKeySequence(Qt::CTRL | Qt::Key_Z),
               [](QLineEdit* f) { f->undo(); });
    editAction(QStringLiteral("Redo"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
               [](QLineEdit* f) { f->redo(); });
    edit->addSeparator();
    editAction(QStringLiteral("Cut"), QKeySequence(Qt::CTRL | Qt::Key_X),
               [](QLineEdit* f) { f->cut(); });
    editAction(QStringLiteral("Copy"), QKeySequence(Qt::CTRL | Qt::Key_C),
               [](QLineEdit* f) { f->copy(); });
    editAction(QStringLiteral("Paste"), QKeySequence(Qt::CTRL | Qt::Key_V),
               [](QLineEdit* f) { f->paste(); });
    editAction(QStringLiteral("Select All"), QKeySequence(Qt::CTRL | Qt::Key_A),
               [](QLineEdit* f) { f->selectAll(); });

    QMenu* windowMenu = bar->addMenu(QStringLiteral("Window"));
    QAction* minimize = windowMenu->addAction(QStringLiteral("Minimize"), window,
                                              [window] { window->showMinimized(); });
    minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    // The window has one fixed size, so there is nothing to zoom: shown, as
    // every Mac window menu has it, but disabled.
    windowMenu->addAction(QStringLiteral("Zoom"))->setEnabled(false);
    QAction* close = windowMenu->addAction(QStringLiteral("Close Window"), window,
                                           [window] { window->close(); });
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    // Nothing here belongs in the application menu, whatever its text says.
    for (QAction* action : windowMenu->actions()) {
        action->setMenuRole(QAction::NoRole);
        if (!action->shortcut().isEmpty())
            m_menuKeys << action->shortcut();
    }
    qApp->installEventFilter(this);
}

} // namespace veldra
