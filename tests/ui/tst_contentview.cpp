// The sign-in view with Qt Test key and mouse events, against fake clients
// and a fake updater state.
#include "FakeUpdater.h"
#include "Rows.h"
#include "TestBundle.h"
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"
#include "ui/ContentView.h"
#include "ui/MovePrompt.h"
#include "ui/ReleaseNotesView.h"
#include "ui/UpdatePrompt.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

class TestContentView : public QObject {
    Q_OBJECT

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<FakeUpdater> m_updater;
    std::unique_ptr<SettingsManager> m_settings;
    std::unique_ptr<RdpLauncher> m_launcher;
    std::unique_ptr<ui::ContentView> m_view;
    std::unique_ptr<AppDelegate> m_application;
    QWidget* m_window = nullptr;
    QList<QUrl> m_opened; // what would have opened in the browser

    // A fresh view on the same settings file: what the next launch shows; the
    // application's whole window, menus too, when `application`.
    void launch(std::optional<bool> forcedRemember = std::nullopt, bool application = false) {
        m_view.reset();
        m_application.reset();
        m_settings = std::make_unique<SettingsManager>(
            platform::userDefaultsOn(std::make_unique<QSettings>(
                m_bundle->scratch() + "/defaults.ini", QSettings::IniFormat)),
            forcedRemember);
        const ui::ContentView::Details details{"", "1.2.3", "", ""};
        if (application) {
            m_application =
                std::make_unique<AppDelegate>(*m_settings, *m_updater, *m_launcher, details);
            m_application->applicationDidFinishLaunching();
            m_window = m_application->window();
        } else {
            m_view =
                std::make_unique<ui::ContentView>(*m_settings, *m_updater, *m_launcher, details);
            m_view->show();
            m_window = m_view.get();
        }
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    QLineEdit* field(const QString& name) const {
        for (auto* edit : m_window->findChildren<QLineEdit*>())
            if (edit->accessibleName() == name)
                return edit;
        return nullptr;
    }
    QLineEdit* username() const { return field("Veldra username"); }
    QLineEdit* password() const { return field("Password"); }
    QPushButton* connectButton() const {
        for (auto* button : m_window->findChildren<QPushButton*>())
            if (button->accessibleName() == "Connect to Cloud Desktop")
                return button;
        return nullptr;
    }
    QLabel* errorBox() const { return m_view->findChild<QLabel*>("errorBox"); }

public Q_SLOTS:
    void recordOpened(const QUrl& url) { m_opened << url; }

private Q_SLOTS:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QDir().mkpath(m_bundle->scratch() + "/evidence");
        qputenv("VELDRA_FAKE_DIR", QFile::encodeName(m_bundle->scratch() + "/evidence"));
        m_updater = std::make_unique<FakeUpdater>();
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            "rdp.test.example", [this] { return m_bundle->path(); },
            [this] { return m_bundle->scratch() + "/freerdp.log"; }, [] { return std::nullopt; },
            [this] { return m_updater->isDownloading(); }, 300ms});
    }
    void cleanup() {
        m_view.reset();
        m_application.reset();
        if (m_launcher->activeProcess())
            killPid(m_launcher->activeProcess()->processId());
        m_launcher.reset();
    }

    // Connect is enabled by its own rule (spaces and tabs are no username, a
    // line break is: the action refuses it); Return or Enter connects from any
    // focus while it is enabled, and does nothing while it is not.
    void enableRule_data() {
        // focus: pressed there: 0 username, 1 checkbox, 2 button; -1 none
        columns<QString, QString, bool, bool, int, bool>("user", "pass", "client", "downloading",
                                                         "focus", "enabled");
        const auto row = [](const char* name, const char* user, const char* pass, bool client,
                            bool downloading, int focus, bool enabled) {
            QTest::newRow(name) << QString(user) << QString(pass) << client << downloading << focus
                                << enabled;
        };
        row("both filled, Return in the username", "alice", "pw", true, false, 0, true);
        row("Return on the checkbox", "alice", "pw", true, false, 1, true);
        row("Enter on the button", "alice", "pw", true, false, 2, true);
        row("spaces and tabs only", " \t ", "pw", true, false, -1, false);
        row("line breaks enable", "\n", "pw", true, false, -1, true);
        row("a password of spaces", "alice", "  ", true, false, -1, true);
        row("no password, Return does nothing", "alice", "", true, false, 1, false);
        row("no client", "alice", "pw", false, false, -1, false);
        row("an update downloading", "alice", "pw", true, true, -1, false);
    }
    void enableRule() {
        auto [user, pass, client, downloading, focus, enabled] =
            fetch<QString, QString, bool, bool, int, bool>("user", "pass", "client", "downloading",
                                                           "focus", "enabled");
        if (client)
            m_bundle->addScript("freerdp", fake::recorder);
        m_updater->setIsDownloading(downloading);
        launch();
        username()->setText(user); // line breaks cannot be typed into a line edit
        password()->setText(pass);
        QCOMPARE(connectButton()->isEnabled(), enabled);
        if (focus < 0)
            return;
        QWidget* targets[] = {username(), m_view->findChild<QCheckBox*>(), connectButton()};
        targets[focus]->setFocus();
        QTest::keyClick(targets[focus], focus == 2 ? Qt::Key_Enter : Qt::Key_Return);
        QCOMPARE(m_view->isConnecting(), enabled);
        if (enabled)
            QTRY_VERIFY(QFile::exists(m_bundle->scratch() + "/evidence/pid"));
    }

    // A failed sign-in shows why and keeps the password; the username is
    // remembered for the next launch only when asked.
    void failureAndRememberedUsername_data() {
        QTest::addColumn<bool>("remember");
        QTest::newRow("remembering") << true;
        QTest::newRow("not remembering") << false;
    }
    void failureAndRememberedUsername() {
        QFETCH(bool, remember);
        m_bundle->addScript("freerdp", fake::exits131);
        launch();
        m_view->findChild<QCheckBox*>()->setChecked(remember);
        QTest::keyClicks(username(), "  alice ");
        QTest::keyClicks(password(), "secret");
        QTest::mouseClick(connectButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        QVERIFY(errorBox()->isVisible());
        QCOMPARE(errorBox()->text(), "Connection failed: FreeRDP could not connect (status 131). "
                                     "ERRCONNECT_CONNECT_FAILED: the server refused");
        QCOMPARE(password()->text(), "secret");
        launch();
        QCOMPARE(username()->text(), remember ? "alice" : "");
        QCOMPARE(m_view->findChild<QCheckBox*>()->isChecked(), remember);
    }

    // What the organisation forces is shown, and cannot be changed.
    void forcedRemember() {
        launch(false);
        auto* box = m_view->findChild<QCheckBox*>("remember");
        QVERIFY(box && !box->isEnabled() && !box->isChecked());
    }

    // The prompt's notes, under "What's new in X", cut at 16 KiB; a file
    // image is not loaded, and only an https link opens; without notes the
    // prompt has no such region.
    void releaseNotes() {
        QMessageBox plain;
        ui::UpdatePrompt::addReleaseNotes(plain, "3.0.0", "");
        QVERIFY(!plain.findChild<QWidget*>("releaseNotes"));
        QTemporaryDir dir;
        const QString image = QUrl::fromLocalFile(dir.filePath("i.png")).toString();
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(dir.filePath("i.png")));
        QMessageBox box;
        ui::UpdatePrompt::addReleaseNotes(box, "3.0.0",
                                          "![i](" + image +
                                              ") [plain](http://example.org/p) "
                                              "[secure](https://example.org/s)\n\n" +
                                              QString(20'000, 'x'));
        auto* view = box.findChild<ui::ReleaseNotesView*>();
        QVERIFY(view);
        QCOMPARE(box.findChild<QWidget*>("releaseNotes")->findChild<QLabel*>()->text(),
                 "What's new in 3.0.0");
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QVERIFY(view->toPlainText().endsWith(QChar(0x2026)));
        QVERIFY(view->toPlainText().toUtf8().size() <= 16 * 1024 + 3);
        const QVariant loaded =
            view->document()->resource(QTextDocument::ImageResource, QUrl(image));
        QVERIFY(loaded.typeId() == QMetaType::QByteArray && loaded.toByteArray().isEmpty());
        QVERIFY(!view->document()->toHtml().contains("http://example.org/p"));
        QDesktopServices::setUrlHandler("https", this, "recordOpened");
        QDesktopServices::setUrlHandler("http", this, "recordOpened");
        Q_EMIT view->anchorClicked(QUrl("http://example.org/p"));
        Q_EMIT view->anchorClicked(QUrl("https://example.org/s"));
        QCOMPARE(m_opened, QList<QUrl>{QUrl("https://example.org/s")});
    }

    // The menus and their keys: "title shortcut", "-" for a separator.
    void menus_data() {
        columns<int, QString>("menu", "items");
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
        auto [menu, items] = fetch<int, QString>("menu", "items");
        launch({}, true);
        const QList<QAction*> bar = m_application->window()->menuBar()->actions();
        QCOMPARE(bar.size(), 3);
        QStringList actual;
        for (QAction* action : bar.at(menu)->menu()->actions())
            actual << (action->isSeparator()
                           ? "-"
                           : (action->text() + (action->isEnabled() ? "" : " (disabled)") + ' ' +
                              action->shortcut().toString())
                                 .trimmed());
        QCOMPARE(bar.at(menu)->text() + ": " + actual.join(" , "), items);
        if (menu == 0) { // "Get Beta Updates", remembered for the next checks
            bar.at(0)->menu()->actions().at(3)->trigger();
            QVERIFY(m_settings->betaUpdates());
        }
    }

    // Every menu key wins over the focused field's own editing keys (Ctrl+U
    // deletes the line on X11); the Edit commands stay the field's.
    void menuKeysWinInTextFields_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("username") << "Veldra username";
        QTest::newRow("password") << "Password";
    }
    void menuKeysWinInTextFields() {
        QFETCH(QString, name);
        launch({}, true);
        QLineEdit* edit = field(name);
        edit->setFocus();
        QTest::keyClicks(edit, "alice");
        QTest::keyClick(edit, Qt::Key_U, Qt::ControlModifier);
        QCOMPARE(m_updater->manualChecks, 1);
        QCOMPARE(edit->text(), "alice");
        if (edit->echoMode() != QLineEdit::Normal)
            return; // a password field has no cut or undo
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(edit->text(), "");
        QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(edit->text(), "alice");
    }

    void progressText_data() {
        columns<qint64, qint64, QString>("received", "expected", "text");
        QTest::newRow("known total")
            << qint64(41'234'567) << qint64(180'000'000) << "41.2 MB of 180.0 MB";
        QTest::newRow("unknown total") << qint64(5'000'000) << qint64(-1) << "5.0 MB";
        QTest::newRow("over 2 GiB")
            << qint64(3'000'000'000) << qint64(4'000'000'000) << "3000.0 MB of 4000.0 MB";
    }
    void progressText() {
        auto [received, expected, text] =
            fetch<qint64, qint64, QString>("received", "expected", "text");
        launch();
        m_updater->setIsDownloading(true);
        m_updater->setDownloadProgress(received, expected);
        QCOMPARE(m_view->findChild<QLabel*>("downloadProgressText")->text(), text);
    }

    // Run from its disk image (or translocated), a copy offers to move
    // itself; "Not Now" is remembered for that copy; installed, it never asks.
    void moveOffer_data() {
        // key: answering the first offer
        // moves: asked of the updater
        // again: offered at the next start
        columns<int, int, int, bool>("kind", "key", "moves", "again");
        using Kind = platform::RunningLocation::Kind;
        QTest::newRow("installed") << int(Kind::installed) << 0 << 0 << false;
        QTest::newRow("moved") << int(Kind::diskImage) << int(Qt::Key_Return) << 1 << true;
        QTest::newRow("not now") << int(Kind::translocated) << int(Qt::Key_Escape) << 0 << false;
    }
    void moveOffer() {
        auto [kind, key, moves, again] =
            fetch<int, int, int, bool>("kind", "key", "moves", "again");
        launch();
        const platform::RunningLocation where{platform::RunningLocation::Kind(kind),
                                              "/Volumes/V/A.app"};
        QMessageBox* box =
            (new ui::MovePrompt(*m_updater, *m_settings, where, m_view.get()))->offer();
        QCOMPARE(box != nullptr, key != 0);
        if (box) {
            QVERIFY(QTest::qWaitForWindowExposed(box));
            QTest::keyClick(box, Qt::Key(key));
        }
        QCOMPARE(m_updater->moves, moves);
        launch();
        QCOMPARE((new ui::MovePrompt(*m_updater, *m_settings, where, m_view.get()))->offer() !=
                     nullptr,
                 again);
    }

    // A required update's prompt says why and only puts it off for now: it
    // comes back once the user ends a session.
    void requiredPrompt() {
        launch();
        m_updater->offer("3.0.0", {}, "The old gateway closes on Friday.");
        auto* box = m_view->findChild<QMessageBox*>("updatePrompt");
        QVERIFY(box && box->text() == "Update Required");
        QVERIFY(box->informativeText().startsWith("The old gateway closes on Friday. "));
        QStringList buttons;
        for (const QAbstractButton* button : box->buttons())
            buttons << button->text();
        QCOMPARE(buttons, (QStringList{"Update Now", "Not Now"}));
        QTest::keyClick(box, Qt::Key_Escape);
        QTRY_VERIFY(!m_updater->shouldPresentUpdate());
        Q_EMIT m_launcher->activeProcessChanged(); // the user ended a session
        QVERIFY(m_updater->shouldPresentUpdate());
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
