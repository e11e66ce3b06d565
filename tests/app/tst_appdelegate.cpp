#include "FakeUpdater.h"
#include "TestBundle.h"
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace std::chrono_literals;

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    test::TestBundle m_bundle;
    test::FakeUpdater m_updater;
    std::unique_ptr<SettingsManager> m_settings;
    std::unique_ptr<RdpLauncher> m_launcher;
    std::unique_ptr<AppDelegate> m_delegate;

private Q_SLOTS:
    void init() {
        m_settings = std::make_unique<SettingsManager>(platform::userDefaultsOn(
            std::make_unique<QSettings>(m_dir.path() + "/d.ini", QSettings::IniFormat)));
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            "h", [this] { return m_bundle.path(); }, [this] { return m_dir.path() + "/log"; },
            [] { return std::nullopt; }, [] { return false; }, 3000ms});
        m_delegate =
            std::make_unique<AppDelegate>(*m_settings, m_updater, *m_launcher,
                                          ui::ContentView::Details{"", "1.0.0", "", "Intel Mac"});
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));
    }
    void cleanup() { m_delegate.reset(); }

    void window() {
        QMainWindow* window = m_delegate->window();
        QCOMPARE(window->windowTitle(), "Veldra Cloud Desktop");
        QCOMPARE(m_delegate->contentView()->size(), QSize(860, 570));
        QCOMPARE(window->minimumSize(), window->maximumSize()); // not resizable
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        // Centred, within the frame margins the platform adds after showing.
        const int margin = (window->frameGeometry().width() - window->width()) / 2 + 1;
        QVERIFY(qAbs(window->frameGeometry().center().x() - screen.center().x()) <= margin);
        QVERIFY(QApplication::quitOnLastWindowClosed());
    }

    void menus_data() {
        QTest::addColumn<int>("menu");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("items"); // "Title|shortcut", "-" for a separator
        QTest::newRow("application") << 0 << "Veldra Cloud Desktop"
                                     << QStringList{"About Veldra Cloud Desktop|",
                                                    "-",
                                                    "Check for Updates...|Ctrl+U",
                                                    "-",
                                                    "Hide Veldra Cloud Desktop|Ctrl+H",
                                                    "Hide Others|",
                                                    "Show All|",
                                                    "-",
                                                    "Quit Veldra Cloud Desktop|Ctrl+Q"};
        QTest::newRow("edit") << 1 << "Edit"
                              << QStringList{
                                     "Undo|Ctrl+Z",      "Redo|Ctrl+Shift+Z", "-",
                                     "Cut|Ctrl+X",       "Copy|Ctrl+C",       "Paste|Ctrl+V",
                                     "Select All|Ctrl+A"};
        QTest::newRow("window") << 2 << "Window"
                                << QStringList{"Minimize|Ctrl+M", "Zoom (disabled)|",
                                               "Close Window|Ctrl+W"};
    }
    void menus() {
        QFETCH(int, menu);
        QFETCH(QString, title);
        QFETCH(QStringList, items);
        const QList<QAction*> bar = m_delegate->window()->menuBar()->actions();
        QCOMPARE(bar.size(), 3);
        QCOMPARE(bar.at(menu)->text(), title);
        QStringList actual;
        for (QAction* action : bar.at(menu)->menu()->actions())
            actual << (action->isSeparator()
                           ? QStringLiteral("-")
                           : action->text() + (action->isEnabled() ? "" : " (disabled)") + "|" +
                                 action->shortcut().toString());
        QCOMPARE(actual, items);
    }

    // macOS builds the application menu itself and takes in only actions with
    // a role: anything without one would stay behind in a second menu named
    // like the application, and a text-guessed role could move Edit or Window
    // items away.
    void macApplicationMenuGoesInByRole() {
        AppDelegate mac(*m_settings, m_updater, *m_launcher,
                        ui::ContentView::Details{"", "1.0.0", "", "Intel Mac"},
                        platform::MenuBarStyle::MacApplicationMenu);
        mac.applicationDidFinishLaunching();
        const QList<QAction*> bar = mac.window()->menuBar()->actions();
        QCOMPARE(bar.size(), 3);
        QStringList applicationMenu;
        for (QAction* action : bar.at(0)->menu()->actions())
            applicationMenu << action->text() + "|" + action->shortcut().toString() + "|" +
                                   QString::number(action->menuRole());
        QCOMPARE(
            applicationMenu,
            (QStringList{
                "About Veldra Cloud Desktop||" + QString::number(QAction::AboutRole),
                "Check for Updates...|Ctrl+U|" + QString::number(QAction::ApplicationSpecificRole),
                "Quit Veldra Cloud Desktop|Ctrl+Q|" + QString::number(QAction::QuitRole)}));
        for (QAction* menu : bar.mid(1))
            for (QAction* action : menu->menu()->actions())
                QVERIFY2(action->isSeparator() || action->menuRole() == QAction::NoRole,
                         qPrintable(action->text()));
        const int checksBefore = m_updater.manualChecks;
        QTest::keyClick(mac.window(), Qt::Key_U, Qt::ControlModifier);
        QCOMPARE(m_updater.manualChecks, checksBefore + 1);
    }

    // Every menu key wins over the focused field's own editing keys (Ctrl+U
    // deletes the line on X11); the Edit commands stay the field's.
    void menuKeysWinInTextFields_data() {
        QTest::addColumn<QString>("field");
        QTest::newRow("username") << "Veldra username";
        QTest::newRow("password") << "Password";
    }
    void menuKeysWinInTextFields() {
        QFETCH(QString, field);
        QLineEdit* edit = nullptr;
        for (auto* candidate : m_delegate->window()->findChildren<QLineEdit*>())
            if (candidate->accessibleName() == field)
                edit = candidate;
        QVERIFY(edit);
        edit->setFocus();
        QTest::keyClicks(edit, "alice");
        const int checksBefore = m_updater.manualChecks;
        QTest::keyClick(edit, Qt::Key_U, Qt::ControlModifier);
        QCOMPARE(m_updater.manualChecks, checksBefore + 1);
        QCOMPARE(edit->text(), "alice");
        if (edit->echoMode() != QLineEdit::Normal)
            return; // a password field has no cut or undo
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(edit->text(), "");
        QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(edit->text(), "alice");
    }

    void closeWindowQuits() {
        // The last window closing ends the application (seen from exec() only).
        QVERIFY(m_delegate->window()->testAttribute(Qt::WA_QuitOnClose));
        QTest::keyClick(m_delegate->window(), Qt::Key_W, Qt::ControlModifier);
        QVERIFY(!m_delegate->window()->isVisible());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
