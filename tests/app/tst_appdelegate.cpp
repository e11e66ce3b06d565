#include "FakeUpdater.h"
#include "TestBundle.h"
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QTest>

using namespace veldra;
using namespace std::chrono_literals;

class TestAppDelegate : public QObject {
    Q_OBJECT

    test::TestBundle m_bundle;
    test::FakeUpdater m_updater;
    std::unique_ptr<SettingsManager> m_settings;
    std::unique_ptr<RdpLauncher> m_launcher;
    std::unique_ptr<AppDelegate> m_delegate;

private Q_SLOTS:
    void initTestCase() {
        m_settings = std::make_unique<SettingsManager>(platform::userDefaultsOn(
            std::make_unique<QSettings>(m_bundle.scratch() + "/d.ini", QSettings::IniFormat)));
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            "h", [this] { return m_bundle.path(); }, [this] { return m_bundle.scratch() + "/log"; },
            [] { return std::nullopt; }, [] { return false; }, 3000ms});
        m_delegate = std::make_unique<AppDelegate>(*m_settings, m_updater, *m_launcher,
                                                   ui::ContentView::Details{"", "1.0", "", ""});
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowExposed(m_delegate->window()));
    }

    // The menus and their keys: "title shortcut", "-" for a separator.
    void menus_data() {
        QTest::addColumn<int>("menu");
        QTest::addColumn<QString>("items");
        QTest::newRow("application")
            << 0
            << "Veldra Cloud Desktop: About Veldra Cloud Desktop , - , Check for Updates... "
               "Ctrl+U , Get Beta Updates , - , Hide Veldra Cloud Desktop Ctrl+H , Hide Others , "
               "Show All , - , Quit Veldra Cloud Desktop Ctrl+Q";
        QTest::newRow("edit") << 1
                              << "Edit: Undo Ctrl+Z , Redo Ctrl+Shift+Z , - , Cut Ctrl+X , "
                                 "Copy Ctrl+C , Paste Ctrl+V , Select All Ctrl+A";
        QTest::newRow("window")
            << 2 << "Window: Minimize Ctrl+M , Zoom (disabled) , Close Window Ctrl+W";
    }
    void menus() {
        QFETCH(int, menu);
        QFETCH(QString, items);
        const QList<QAction*> bar = m_delegate->window()->menuBar()->actions();
        QCOMPARE(bar.size(), 3);
        QStringList actual;
        for (QAction* action : bar.at(menu)->menu()->actions())
            actual << (action->isSeparator()
                           ? "-"
                           : (action->text() + (action->isEnabled() ? "" : " (disabled)") + ' ' +
                              action->shortcut().toString())
                                 .trimmed());
        QCOMPARE(bar.at(menu)->text() + ": " + actual.join(" , "), items);
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
        edit->clear();
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

    // "Get Beta Updates" is remembered for the next checks.
    void betaUpdates() {
        QAction* beta = nullptr;
        for (QAction* action : m_delegate->window()->menuBar()->actions().at(0)->menu()->actions())
            if (action->text() == "Get Beta Updates")
                beta = action;
        QVERIFY(beta && beta->isCheckable() && !beta->isChecked());
        beta->trigger();
        QVERIFY(m_settings->betaUpdates());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
