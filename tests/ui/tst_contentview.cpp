// The sign-in view and menus under Qt Test's keys and clicks, with fake clients and updater.
#include "FakeUpdater.h"
#include "Rows.h"
#include "TestBundle.h"
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"
#include "ui/ContentView.h"
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
    std::unique_ptr<AppDelegate> m_application;
    ui::ContentView* m_view = nullptr;
    QList<QUrl> m_opened; // what would have opened in the browser

    // The application on the same settings file, as the next launch shows it.
    void launch(std::optional<bool> forcedRemember = {}, platform::RunningLocation where = {}) {
        m_application.reset();
        m_settings = std::make_unique<SettingsManager>(
            platform::userDefaultsOn(std::make_unique<QSettings>(
                m_bundle->scratch() + "/defaults.ini", QSettings::IniFormat)),
            forcedRemember);
        m_application =
            std::make_unique<AppDelegate>(*m_settings, *m_updater, *m_launcher,
                                          ui::ContentView::Details{"", "1.2.3", "", ""}, where);
        m_application->applicationDidFinishLaunching();
        m_view = m_application->contentView();
        QVERIFY(QTest::qWaitForWindowExposed(m_view));
    }
    template <typename W = QLineEdit> W* named(const QString& accessibleName) const {
        for (auto* widget : m_view->findChildren<W*>())
            if (widget->accessibleName() == accessibleName)
                return widget;
        return nullptr;
    }
    QLineEdit* username() const { return named("Veldra username"); }
    QLineEdit* password() const { return named("Password"); }
    QPushButton* connectButton() const { return named<QPushButton>("Connect to Cloud Desktop"); }

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
        m_application.reset();
        if (m_launcher->activeProcess())
            killPid(m_launcher->activeProcess()->processId());
        m_launcher.reset();
    }

    // Connect's own enable rule (a line break is a username; the action refuses it).
    void enableRule_data() {
        // focus: Return or Enter pressed there: 0 username, 1 checkbox, 2 button; -1 none
        columns<QString, QString, bool, bool, int, bool>("user", "pass", "client", "downloading",
                                                         "focus", "enabled");
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
    // remembered only when asked, and a forced "off" cannot be changed.
    void failureAndRememberedUsername_data() {
        columns<bool, bool>("remember", "forcedOff");
        row("remembering", true, false);
        row("not remembering", false, false);
        row("forced off", true, true);
    }
    void failureAndRememberedUsername() {
        auto [remember, forcedOff] = fetch<bool, bool>("remember", "forcedOff");
        const auto forced = forcedOff ? std::optional(false) : std::nullopt;
        m_bundle->addScript("freerdp", fake::exits131);
        launch(forced);
        auto* box = m_view->findChild<QCheckBox*>("remember");
        QCOMPARE(box->isEnabled(), !forcedOff);
        if (box->isChecked() != remember)
            box->click(); // as the user would; nothing while disabled
        QTest::keyClicks(username(), "  alice ");
        QTest::keyClicks(password(), "secret");
        QTest::mouseClick(connectButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        auto* error = m_view->findChild<QLabel*>("errorBox");
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), "Connection failed: FreeRDP could not connect (status 131). "
                                "ERRCONNECT_CONNECT_FAILED: the server refused");
        QCOMPARE(password()->text(), "secret");
        launch(forced);
        QCOMPARE(username()->text(), remember && !forcedOff ? "alice" : "");
        QCOMPARE(m_view->findChild<QCheckBox*>()->isChecked(), remember && !forcedOff);
    }

    // The prompt's notes, under "What's new in X", cut at 16 KiB; a file
    // image is not loaded, and only an https link opens; without notes the
    // prompt has no such region.
    void releaseNotes() {
        QMessageBox plain;
        ui::UpdatePrompt::addReleaseNotes(plain, "3.0.0", "");
        QVERIFY(!plain.findChild<QWidget*>("releaseNotes"));
        const QString file = m_bundle->scratch() + "/i.png",
                      image = QUrl::fromLocalFile(file).toString();
        QVERIFY(QImage(4, 4, QImage::Format_RGB32).save(file));
        const QString links = ") [plain](http://example.org/p) [secure](https://example.org/s)\n\n";
        QMessageBox box;
        ui::UpdatePrompt::addReleaseNotes(box, "3.0.0",
                                          "![i](" + image + links + QString(20'000, 'x'));
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

    // The menus and their keys ("-" a separator); "Get Beta Updates" is remembered.
    void menus() {
        launch();
        QStringList actual;
        for (QAction* menu : m_application->window()->menuBar()->actions()) {
            actual << menu->text() + ":";
            for (QAction* action : menu->menu()->actions())
                actual << (action->isSeparator()
                               ? "-"
                               : (action->text() + (action->isEnabled() ? "" : " (disabled)") +
                                  ' ' + action->shortcut().toString())
                                     .trimmed());
        }
        const QString items =
            "Veldra Cloud Desktop: , About Veldra Cloud Desktop , - , Check for Updates... Ctrl+U"
            " , Get Beta Updates , - , Hide Veldra Cloud Desktop Ctrl+H , Hide Others , Show All"
            " , - , Quit Veldra Cloud Desktop Ctrl+Q , Edit: , Undo Ctrl+Z , Redo Ctrl+Shift+Z"
            " , - , Cut Ctrl+X , Copy Ctrl+C , Paste Ctrl+V , Select All Ctrl+A , Window:"
            " , Minimize Ctrl+M , Zoom (disabled) , Close Window Ctrl+W";
        QCOMPARE(actual, items.split(" , "));
        m_application->window()->menuBar()->actions().at(0)->menu()->actions().at(3)->trigger();
        QVERIFY(m_settings->betaUpdates());
    }

    // Every menu key wins over a field's own (Ctrl+U deletes the line on X11);
    // the Edit commands stay the field's.
    void menuKeysWinInTextFields() {
        launch();
        int checks = 0;
        for (QLineEdit* edit : {password(), username()}) {
            edit->setFocus();
            QTest::keyClicks(edit, "alice");
            QTest::keyClick(edit, Qt::Key_U, Qt::ControlModifier);
            QCOMPARE(m_updater->manualChecks, ++checks);
            QCOMPARE(edit->text(), "alice");
        }
        QTest::keyClick(username(), Qt::Key_A,
                        Qt::ControlModifier); // a password has no cut or undo
        QTest::keyClick(username(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(username()->text(), "");
        QTest::keyClick(username(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(username()->text(), "alice");
    }

    void progressText_data() {
        columns<qint64, qint64, QString>("received", "expected", "text");
        row("known total", qint64(41'234'567), qint64(180'000'000), "41.2 MB of 180.0 MB");
        row("unknown total", qint64(5'000'000), qint64(-1), "5.0 MB");
        row("over 2 GiB", qint64(3'000'000'000), qint64(4'000'000'000), "3000.0 MB of 4000.0 MB");
    }
    void progressText() {
        auto [received, expected, text] =
            fetch<qint64, qint64, QString>("received", "expected", "text");
        launch();
        m_updater->setIsDownloading(true);
        m_updater->setDownloadProgress(received, expected);
        QCOMPARE(m_view->findChild<QLabel*>("downloadProgressText")->text(), text);
    }

    // A copy not installed offers to move itself; "Not Now" is remembered.
    void moveOffer_data() {
        // key: answers the offer; moves: asked of the updater; again: offered at the next start
        columns<int, int, int, bool>("kind", "key", "moves", "again");
        using Kind = platform::RunningLocation::Kind;
        row("installed", int(Kind::installed), 0, 0, false);
        row("moved", int(Kind::diskImage), int(Qt::Key_Return), 1, true);
        row("not now", int(Kind::translocated), int(Qt::Key_Escape), 0, false);
    }
    void moveOffer() {
        auto [kind, key, moves, again] =
            fetch<int, int, int, bool>("kind", "key", "moves", "again");
        const auto offered = [&] {
            launch({}, {platform::RunningLocation::Kind(kind), "/Volumes/V/A.app"});
            return m_application->window()->findChild<QMessageBox*>("movePrompt");
        };
        QMessageBox* box = offered();
        QCOMPARE(box != nullptr, key != 0);
        if (box) {
            QVERIFY(QTest::qWaitForWindowExposed(box));
            QTest::keyClick(box, Qt::Key(key));
        }
        QCOMPARE(m_updater->moves, moves);
        QCOMPARE(offered() != nullptr, again);
    }

    // A copy replaced under the application: the banner relaunches it.
    void replacedCopy() {
        launch();
        m_updater->setReplacedBy("2.2.0");
        auto* banner = m_view->findChild<QPushButton*>("updateBanner");
        QVERIFY(banner->isVisible() && banner->text() == "Relaunch");
        QTest::mouseClick(banner, Qt::LeftButton);
        QCOMPARE(m_updater->relaunches, 1);
    }

    // A required update's prompt says why and comes back once a session ends.
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
