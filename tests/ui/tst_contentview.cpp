#include "FakeUpdater.h"
#include "TestBundle.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"
#include "ui/ContentView.h"
#include "ui/UpdatePrompt.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

class TestContentView : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<FakeUpdater> m_updater;
    std::unique_ptr<SettingsManager> m_settings;
    std::unique_ptr<RdpLauncher> m_launcher;
    std::unique_ptr<ui::ContentView> m_view;
    QList<qint64> m_pids;

    QString settingsFile() const { return m_dir->path() + "/defaults.ini"; }

    void build() {
        m_view.reset();
        m_settings = std::make_unique<SettingsManager>(platform::userDefaultsOn(
            std::make_unique<QSettings>(settingsFile(), QSettings::IniFormat)));
        m_view = std::make_unique<ui::ContentView>(
            *m_settings, *m_updater, *m_launcher,
            ui::ContentView::Details{RESOURCES_DIR, "1.2.3", "+1 555 0100", "Intel Mac"});
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }

    QLineEdit* field(const char* name) const {
        for (auto* f : m_view->findChildren<QLineEdit*>())
            if (f->accessibleName() == QLatin1String(name))
                return f;
        return nullptr;
    }
    QLineEdit* username() const { return field("Veldra username"); }
    QLineEdit* password() const { return field("Password"); }
    QPushButton* button(const QString& accessibleName) const {
        for (auto* b : m_view->findChildren<QPushButton*>())
            if (b->accessibleName() == accessibleName)
                return b;
        return nullptr;
    }
    QPushButton* connectButton() const { return button("Connect to Cloud Desktop"); }
    QPushButton* banner() const { return m_view->findChild<QPushButton*>("updateBanner"); }
    QPushButton* footerButton() const {
        return m_view->findChild<QPushButton*>("footerUpdateButton");
    }
    QLabel* errorBox() const { return m_view->findChild<QLabel*>("errorBox"); }
    QWidget* missingClient() const { return m_view->findChild<QWidget*>("missingClient"); }

    void type(QLineEdit* target, const QString& text) {
        target->setFocus();
        QTest::keyClicks(target, text);
    }

    QString fakeDir() const { return m_bundle->scratch() + "/evidence"; }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_bundle = std::make_unique<TestBundle>();
        QDir().mkpath(fakeDir());
        qputenv("VELDRA_FAKE_DIR", QFile::encodeName(fakeDir()));
        m_updater = std::make_unique<FakeUpdater>();
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            "rdp.test.example", [this] { return m_bundle->path(); },
            [this] { return m_dir->path() + "/freerdp.log"; }, [] { return std::nullopt; },
            [this] { return m_updater->isDownloading(); }, 300ms});
    }
    void cleanup() {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        m_view.reset();
        for (qint64 pid : std::as_const(m_pids))
            killPid(pid);
        m_pids.clear();
        m_launcher.reset();
        m_settings.reset();
        m_updater.reset();
        m_bundle.reset();
        m_dir.reset();
    }

    void enableRule_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("pass");
        QTest::addColumn<bool>("client");
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("both filled") << "alice"
                                     << "pw" << true << false << true;
        QTest::newRow("spaces and tabs only") << " \t  "
                                              << "pw" << true << false << false;
        QTest::newRow("line breaks only enable") << "\n"
                                                 << "pw" << true << false << true;
        QTest::newRow("password of spaces counts") << "alice"
                                                   << "  " << true << false << true;
        QTest::newRow("no client") << "alice"
                                   << "pw" << false << false << false;
        QTest::newRow("update downloading") << "alice"
                                            << "pw" << true << true << false;
    }
    void enableRule() {
        QFETCH(QString, user);
        QFETCH(QString, pass);
        QFETCH(bool, client);
        QFETCH(bool, downloading);
        QFETCH(bool, enabled);
        if (client)
            m_bundle->addScript("freerdp", fake::recorder);
        m_updater->setIsDownloading(downloading);
        build();
        username()->setText(user); // setText: line breaks cannot be typed into a line edit
        password()->setText(pass);
        QCOMPARE(connectButton()->isEnabled(), enabled);
        QCOMPARE(missingClient()->isVisible(), !client);
        QCOMPARE(password()->isVisible(), client);
    }

    void lineBreakUsernameDoesNothing() {
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        username()->setText("\n\n");
        password()->setText("pw");
        QVERIFY(connectButton()->isEnabled());
        QTest::mouseClick(connectButton(), Qt::LeftButton);
        QVERIFY(!m_view->isConnecting());
        QVERIFY(!m_launcher->activeProcess());
        QVERIFY(!errorBox()->isVisible());
    }

    void trimmedUsernameAndPasswordAsTyped() {
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        type(username(), "  alice  ");
        type(password(), " p w ");
        QTest::keyClick(password(), Qt::Key_Return);
        QVERIFY(m_view->isConnecting());
        QCOMPARE(connectButton()->text(), QString::fromUtf8("Connecting…"));
        QVERIFY(!connectButton()->isEnabled());
        QCOMPARE(m_settings->savedUsername(), "alice"); // before the outcome is known
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        m_pids << m_launcher->activeProcess()->processId();
        QFile input(fakeDir() + "/stdin");
        QVERIFY(input.open(QIODevice::ReadOnly));
        QCOMPARE(input.readAll(), QByteArray(" p w \n"));
        QFile argv(fakeDir() + "/argv");
        QVERIFY(argv.open(QIODevice::ReadOnly));
        QVERIFY(argv.readAll().contains(QByteArray("/u:alice\0", 9)));
        // Success empties the password, keeps the username, shows no error.
        QCOMPARE(password()->text(), QString());
        QCOMPARE(username()->text(), "  alice  ");
        QVERIFY(!errorBox()->isVisible());
        QCOMPARE(connectButton()->text(), "Connect to Cloud Desktop");

        // A second attempt while the client runs fails with the launcher's text.
        type(password(), "again");
        QTest::mouseClick(connectButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        QCOMPARE(errorBox()->text(),
                 "Connection failed: A remote desktop session is already running.");
    }

    void failureShowsErrorAndKeepsPassword() {
        m_bundle->addScript("freerdp", fake::exits131);
        build();
        type(username(), "alice");
        type(password(), "secret");
        QTest::keyClick(username(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        QVERIFY(errorBox()->isVisible());
        QCOMPARE(errorBox()->text(), "Connection failed: FreeRDP could not connect (status 131). "
                                     "ERRCONNECT_CONNECT_FAILED: the server refused");
        QCOMPARE(password()->text(), "secret");
        // The next attempt removes the error box at once.
        m_bundle->addScript("freerdp", fake::keepsRunning);
        QTest::mouseClick(connectButton(), Qt::LeftButton);
        QVERIFY(m_view->isConnecting());
        QVERIFY(!errorBox()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        m_pids << m_launcher->activeProcess()->processId();
    }

    void rememberedUsername_data() {
        QTest::addColumn<bool>("remember");
        QTest::addColumn<QString>("shown");
        QTest::newRow("remembering") << true << "alice";
        QTest::newRow("not remembering") << false << "";
    }
    void rememberedUsername() {
        QFETCH(bool, remember);
        QFETCH(QString, shown);
        m_bundle->addScript("freerdp", fake::exits131);
        build();
        m_view->findChild<QCheckBox*>()->setChecked(remember);
        type(username(), "alice");
        type(password(), "x");
        QTest::mouseClick(connectButton(), Qt::LeftButton); // fails, still remembered
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->isConnecting(), 5000);
        build(); // the next launch
        QCOMPARE(username()->text(), shown);
        QCOMPARE(m_view->findChild<QCheckBox*>()->isChecked(), remember);
    }

    void uncheckingForgets() {
        build();
        m_settings->recordUsername("alice");
        QTest::mouseClick(m_view->findChild<QCheckBox*>(), Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!m_settings->rememberUsername());
        QVERIFY(!QSettings(settingsFile(), QSettings::IniFormat)
                     .contains(SettingsManager::kSavedUsername));
    }

    void showHide() {
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        QPushButton* toggle = button("Show password");
        QVERIFY(toggle);
        QCOMPARE(toggle->text(), "Show");
        QCOMPARE(password()->echoMode(), QLineEdit::Password);
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(toggle->text(), "Hide");
        QCOMPARE(password()->echoMode(), QLineEdit::Normal);
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(password()->echoMode(), QLineEdit::Password);
    }

    void bannerAndPrompt() {
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        QVERIFY(!banner()->isVisible());
        m_updater->offer("3.1");
        QVERIFY(banner()->isVisible());
        QCOMPARE(banner()->text(), QString::fromUtf8("Version 3.1 is ready — install now"));
        QCOMPARE(footerButton()->text(), "Update available");

        // The prompt: "Later" closes it and leaves the banner.
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), "Update Available");
        QCOMPARE(box->informativeText(), "Veldra Cloud Desktop 3.1 is ready. The download is "
                                         "verified before the installer opens.");
        QCOMPARE(box->defaultButton()->text(), "Download and Install");
        QCOMPARE(box->escapeButton(), box->buttons().last());
        QTest::keyClick(box, Qt::Key_Escape);
        QVERIFY(!m_updater->shouldPresentUpdate());
        QCOMPARE(m_updater->downloadsStarted, 0);
        QVERIFY(banner()->isVisible());

        // The banner starts the download.
        QTest::mouseClick(banner(), Qt::LeftButton);
        QCOMPARE(m_updater->downloadsStarted, 1);

        // A new version prompts again; "Download and Install" (the default) starts it.
        m_updater->offer("3.2");
        box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        // An hourly check publishes 3.3 while it is open: it names what it installs.
        m_updater->offer("3.3");
        QVERIFY(box->informativeText().startsWith("Veldra Cloud Desktop 3.3 is ready."));
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(m_updater->downloadsStarted, 2);
        QVERIFY(!m_updater->shouldPresentUpdate());
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget() == nullptr, 2000);

        // While downloading, signing in is off.
        username()->setText("alice");
        password()->setText("pw");
        QVERIFY(connectButton()->isEnabled());
        m_updater->setIsDownloading(true);
        QVERIFY(!connectButton()->isEnabled());
        m_view->connectAction();
        QVERIFY(!m_launcher->activeProcess());
    }

    // The connect button is the window's default action: Return (and Enter)
    // from any focus, while the button is enabled.
    void returnFromAnyFocus_data() {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("filled");
        QTest::newRow("checkbox, Return") << "checkbox" << int(Qt::Key_Return) << true;
        QTest::newRow("connect button, Enter") << "button" << int(Qt::Key_Enter) << true;
        QTest::newRow("username field, Return") << "username" << int(Qt::Key_Return) << true;
        QTest::newRow("button disabled") << "checkbox" << int(Qt::Key_Return) << false;
    }
    void returnFromAnyFocus() {
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(bool, filled);
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        username()->setText("alice");
        password()->setText(filled ? "pw" : "");
        QWidget* target = focus == "checkbox"
                              ? static_cast<QWidget*>(m_view->findChild<QCheckBox*>())
                          : focus == "button" ? static_cast<QWidget*>(connectButton())
                                              : username();
        target->setFocus();
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(m_view->isConnecting(), filled);
        if (filled)
            QTRY_VERIFY(QFile::exists(fakeDir() + "/pid"));
    }

    // While downloading, a bar where the banner was: determinate with the
    // amounts once the total is known, busy before; gone when it ends.
    void downloadProgress_data() {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("known total")
            << qint64(41'234'567) << qint64(180'000'000) << 1000 << 229 << "41.2 MB of 180.0 MB";
        QTest::newRow("unknown total") << qint64(5'000'000) << qint64(-1) << 0 << 0 << "5.0 MB";
        QTest::newRow("over 2 GiB keeps counting") << qint64(3'000'000'000) << qint64(4'000'000'000)
                                                   << 1000 << 750 << "3000.0 MB of 4000.0 MB";
    }
    void downloadProgress() {
        QFETCH(qint64, received);
        QFETCH(qint64, expected);
        QFETCH(int, maximum);
        QFETCH(int, value);
        QFETCH(QString, text);
        build();
        m_updater->offer("3.1");
        m_updater->setShouldPresentUpdate(false);
        auto* bar = m_view->findChild<QProgressBar*>();
        QVERIFY(bar && !bar->isVisible());
        m_updater->setIsDownloading(true);
        m_updater->setDownloadProgress(received, expected);
        QVERIFY(bar->isVisible());
        QVERIFY(!banner()->isVisible());
        QCOMPARE(bar->accessibleName(), "Download progress");
        QCOMPARE(bar->maximum(), maximum);
        if (maximum > 0)
            QCOMPARE(bar->value(), value);
        QCOMPARE(m_view->findChild<QLabel*>("downloadProgressText")->text(), text);
        m_updater->setIsDownloading(false);
        QVERIFY(!bar->isVisible());
        QVERIFY(banner()->isVisible());
    }

    void footer_data() {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("title");
        QTest::newRow("no status") << ""
                                   << "Check for updates";
        QTest::newRow("status shown") << "Update check failed"
                                      << "Update check failed";
    }
    void footer() {
        QFETCH(QString, status);
        QFETCH(QString, title);
        build();
        m_updater->setStatusMessage(status);
        QCOMPARE(footerButton()->text(), title);
        QTest::mouseClick(footerButton(), Qt::LeftButton);
        QCOMPARE(m_updater->manualChecks, 1);
        QCOMPARE(m_view->findChild<QLabel*>("versionText")->text(), "v1.2.3");
    }

    void keyboardOrder() {
        m_bundle->addScript("freerdp", fake::recorder);
        build();
        QWidget* expected[] = {username(), password(), button("Show password"),
                               m_view->findChild<QCheckBox*>(), connectButton()};
        username()->setText("alice");
        password()->setText("pw"); // the connect button takes focus only when enabled
        username()->setFocus();
        for (size_t i = 1; i < std::size(expected); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected[i]);
        }
    }

    void missingLogoLeavesItsFrame() {
        build();
        auto* logo = m_view->findChild<QWidget*>("logo_veldra");
        QVERIFY(logo);
        const int headlineTop =
            m_view->findChild<QLabel*>("headline")->mapTo(m_view.get(), QPoint()).y();
        m_view = std::make_unique<ui::ContentView>(
            *m_settings, *m_updater, *m_launcher,
            ui::ContentView::Details{m_dir->path(), "1", "", "Intel Mac"});
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        auto* missing = m_view->findChild<QWidget*>("logo_veldra");
        QCOMPARE(missing->size(), QSize(92, 92));
        QCOMPARE(m_view->findChild<QLabel*>("headline")->mapTo(m_view.get(), QPoint()).y(),
                 headlineTop);
        // The frame is transparent: the panel's purple shows through.
        const QImage shot = m_view->grab().toImage();
        const QPoint centre = missing->mapTo(m_view.get(), QPoint(46, 46));
        QCOMPARE(shot.pixelColor(centre).name(), QColor::fromRgbF(0.14f, 0.075f, 0.30f).name());
    }
};

QTEST_MAIN(TestContentView)
#include "tst_contentview.moc"
