#include "TestBundle.h"
#include "launcher/ClientCommandLine.h"
#include "launcher/RdpLauncher.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <cstring>
#include <thread>

using namespace veldra;
using namespace veldra::test;

namespace {

constexpr int kOpenedAfterMs = 1000;

struct Received {
    int calls = 0;
    std::optional<LaunchOutcome> outcome;
    bool onMainThread = false;
    qint64 atMs = -1;
    QElapsedTimer clock;
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestRdpLauncher : public QObject {
    Q_OBJECT

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<RdpLauncher> m_launcher;
    bool m_downloading = false;
    QList<qint64> m_pids;

    QString fakeDir() const { return m_bundle->scratch() + "/evidence"; }
    QString logPath() const {
        return m_bundle->scratch() + "/Library/Logs/Veldra Cloud Desktop/freerdp.log";
    }

    std::shared_ptr<Received> connectNow(const QString& user, const QString& password) {
        auto received = std::make_shared<Received>();
        received->clock.start();
        m_launcher->connect(user, password, [received](const LaunchOutcome& outcome) {
            ++received->calls;
            received->outcome = outcome;
            received->onMainThread =
                QThread::currentThread() == QCoreApplication::instance()->thread();
            received->atMs = received->clock.elapsed();
        });
        return received;
    }

    qint64 recordedPid() {
        qint64 pid = 0;
        waitUntil([&] { return (pid = readAll(fakeDir() + "/pid").trimmed().toLongLong()) > 0; },
                  5000);
        if (pid > 0)
            m_pids << pid;
        // The next fake of the same test must not be mistaken for this one.
        QFile::remove(fakeDir() + "/pid");
        return pid;
    }

private Q_SLOTS:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QDir().mkpath(fakeDir());
        qputenv("VELDRA_FAKE_DIR", QFile::encodeName(fakeDir()));
        m_downloading = false;
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            "rdp.test.example:3390",
            [this] { return m_bundle->path(); },
            [this] { return logPath(); },
            [] { return std::nullopt; },
            [this] { return m_downloading; },
            std::chrono::milliseconds(kOpenedAfterMs),
        });
    }
    void cleanup() {
        for (qint64 pid : std::as_const(m_pids))
            killPid(pid);
        m_pids.clear();
        m_launcher.reset();
        m_bundle.reset();
    }

    void refusals_data() {
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        const QString wait = "Wait for the application update to finish.";
        const QString badUser = "The username contains unsupported characters.";
        const QString badPassword = "The password contains unsupported characters.";
        // The credential rules row by row are tst_credentials'; these are the
        // order of the checks and that a refusal starts nothing.
        QTest::newRow("update in progress comes first") << true << ""
                                                        << "" << wait;
        QTest::newRow("username checked before password") << false << ""
                                                          << "" << badUser;
        QTest::newRow("username with inner tab") << false << "al\tice"
                                                 << "pw" << badUser;
        QTest::newRow("password ending in line feed") << false << "alice"
                                                      << "password\n"
                                                      << badPassword;
    }
    void refusals() {
        QFETCH(bool, downloading);
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(QString, message);
        m_bundle->addScript("freerdp", fake::recorder);
        m_downloading = downloading;
        auto received = connectNow(username, password);
        // Refusals arrive before connect returns.
        QCOMPARE(received->calls, 1);
        QVERIFY(received->outcome->launcherError());
        QCOMPARE(received->outcome->launcherError()->kind(),
                 RdpLauncherError::Kind::invalidCredentials);
        QCOMPARE(received->outcome->errorDescription(), message);
        // Nothing started, nothing logged.
        QVERIFY(!m_launcher->activeProcess());
        QVERIFY(!QFile::exists(logPath()));
        QTest::qWait(100);
        QVERIFY(!QFile::exists(fakeDir() + "/argv"));
        QCOMPARE(received->calls, 1);
    }

    void missingClientIsReportedLater() {
        TestBundle::writeFile(m_bundle->macOSDir() + "/freerdp", "#!/bin/sh\n",
                              0644); // not executable
        auto received = connectNow("alice", "pw");
        QCOMPARE(received->calls, 0);
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 2000);
        QVERIFY(received->onMainThread);
        QCOMPARE(received->outcome->errorDescription(),
                 "The bundled FreeRDP component is missing. Reinstall Veldra Cloud Desktop.");
        QVERIFY(!m_launcher->bundledFreeRdpPath().has_value());
    }

    void candidateOrder_data() {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("all three")
            << QStringList{"freerdp", "sdl-freerdp", "sdl3-freerdp"} << "freerdp";
        QTest::newRow("sdl pair") << QStringList{"sdl-freerdp", "sdl3-freerdp"} << "sdl-freerdp";
        QTest::newRow("only sdl3") << QStringList{"sdl3-freerdp"} << "sdl3-freerdp";
        QTest::newRow("none") << QStringList{} << "";
    }
    void candidateOrder() {
        QFETCH(QStringList, present);
        QFETCH(QString, chosen);
        for (const QString& name : present)
            m_bundle->addScript(name, fake::exitsSilently);
        QDir().mkpath(m_bundle->macOSDir() + "/freerdp-dir-not-file");
        const auto path = resolveBundledFreeRdpPath(m_bundle->path());
        QCOMPARE(path.value_or(QString()),
                 chosen.isEmpty() ? QString() : m_bundle->macOSDir() + "/" + chosen);
    }

    void cachedPathIsProbedAgainWhenGone() {
        // The first read caches "none"; a client that appears later is only
        // found by connect.
        QVERIFY(!m_launcher->bundledFreeRdpPath());
        m_bundle->addScript("freerdp", fake::exitsSilently);
        QVERIFY(!m_launcher->bundledFreeRdpPath());
        auto first = connectNow("alice", "pw");
        QTRY_VERIFY_WITH_TIMEOUT(first->calls == 1, 5000);
        QCOMPARE(*m_launcher->bundledFreeRdpPath(), m_bundle->macOSDir() + "/freerdp");

        QFile::remove(m_bundle->macOSDir() + "/freerdp");
        m_bundle->addScript("sdl3-freerdp", fake::recorder);
        auto second = connectNow("alice", "pw");
        recordedPid();
        QVERIFY(QFile::exists(fakeDir() + "/argv"));
        QCOMPARE(*m_launcher->bundledFreeRdpPath(), m_bundle->macOSDir() + "/sdl3-freerdp");
    }

    void earlyEndings_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("status");
        QTest::newRow("exit 0, silent")
            << QByteArray(fake::exitsSilently)
            << "FreeRDP could not connect (status 0). The client closed before the session opened."
            << 0;
        QTest::newRow("exit 131 after a plain line")
            << QByteArray(fake::exits131)
            << "FreeRDP could not connect (status 131). ERRCONNECT_CONNECT_FAILED: the server "
               "refused"
            << 131;
        QTest::newRow("killed by SIGKILL")
            << QByteArray(fake::killedBySignal) << "FreeRDP could not connect (status 9)." << 9;
    }
    void earlyEndings() {
        QFETCH(QByteArray, script);
        QFETCH(QString, description);
        QFETCH(int, status);
        m_bundle->addScript("freerdp", script);
        auto received = connectNow("alice", "pw");
        QVERIFY(m_launcher->activeProcess());
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
        QVERIFY(received->onMainThread);
        QVERIFY(received->atMs < kOpenedAfterMs);
        const RdpLauncherError* error = received->outcome->launcherError();
        QVERIFY(error);
        QCOMPARE(error->kind(), RdpLauncherError::Kind::launchFailed);
        QCOMPARE(error->status(), status);
        QCOMPARE(received->outcome->errorDescription(), description);
        QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->activeProcess(), 2000);
        // The opened check must not add a second outcome.
        QTest::qWait(kOpenedAfterMs + 200);
        QCOMPARE(received->calls, 1);
    }

    void runningClientOpensSession() {
        m_bundle->addScript("freerdp", fake::keepsRunning);
        auto received = connectNow("alice", "pw");
        const qint64 pid = recordedPid();
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, kOpenedAfterMs + 5000);
        QVERIFY(received->outcome->succeeded());
        QVERIFY2(received->atMs >= kOpenedAfterMs, qPrintable(QString::number(received->atMs)));
        QVERIFY(m_launcher->isSessionRunning());

        // A second sign-in is refused at once while the client runs, before
        // its credentials are looked at.
        auto second = connectNow("", "");
        QCOMPARE(second->calls, 1);
        QCOMPARE(second->outcome->errorDescription(),
                 "A remote desktop session is already running.");

        // The session ends: no further outcome, activeProcess cleared on the main thread.
        killPid(pid);
        QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->activeProcess(), 5000);
        QTest::qWait(100);
        QCOMPARE(received->calls, 1);
    }

    // The production interval: a coarse timer could fire up to 150 ms early.
    void productionIntervalNeverFiresEarly_data() {
        QTest::addColumn<QByteArray>("client");
        QTest::addColumn<bool>("opened");
        QTest::newRow("exits at 2.9 s") << QByteArray("exec sleep 2.9\n") << false;
        QTest::newRow("keeps running") << QByteArray(fake::keepsRunning) << true;
    }
    void productionIntervalNeverFiresEarly() {
        QFETCH(QByteArray, client);
        QFETCH(bool, opened);
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            .serverHost = "rdp.test.example",
            .bundlePath = [this] { return m_bundle->path(); },
            .logFilePath = [this] { return logPath(); },
            .screen = [] { return std::nullopt; },
            .isUpdateDownloading = [] { return false; },
        });
        m_bundle->addScript("freerdp", client);
        auto received = connectNow("alice", "pw");
        if (opened)
            recordedPid();
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 8000);
        QCOMPARE(received->outcome->succeeded(), opened);
        if (opened)
            QVERIFY2(received->atMs >= RdpLauncher::kOpenedAfter.count(),
                     qPrintable(QString::number(received->atMs)));
    }

    void endedButNotYetClearedDoesNotBlock() {
        m_bundle->addScript("freerdp", fake::keepsRunning);
        auto first = connectNow("alice", "pw");
        const qint64 pid = recordedPid();
        const auto process = m_launcher->activeProcess();
        QVERIFY(process);
        killPid(pid);
        // Wait for the end without running the event loop, so nothing clears it.
        QElapsedTimer timer;
        timer.start();
        while (process->isRunning() && timer.elapsed() < 5000)
            QThread::msleep(5);
        QCOMPARE(m_launcher->activeProcess(), process);
        m_bundle->addScript("freerdp", fake::recorder);
        auto second = connectNow("alice", "pw");
        QCOMPARE(second->calls, 0);
        QVERIFY(m_launcher->activeProcess() != process);
        recordedPid();
        QTRY_VERIFY_WITH_TIMEOUT(second->calls == 1, kOpenedAfterMs + 5000);
        QVERIFY(second->outcome->succeeded());
        // The first client's late clearing left the second one in place.
        QVERIFY(m_launcher->activeProcess() && m_launcher->activeProcess() != process);
        QVERIFY(m_launcher->isSessionRunning());
    }

    // No log (its folder cannot be made): the client still runs, and its
    // outcome still comes.
    void unusableLogStillRunsTheClient() {
        TestBundle::writeFile(m_bundle->scratch() + "/Library", "a file, not a folder", 0644);
        m_bundle->addScript("freerdp", fake::exits131);
        auto received = connectNow("alice", "pw");
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
        QCOMPARE(received->outcome->errorDescription(), "FreeRDP could not connect (status 131).");
        QVERIFY(QFileInfo(m_bundle->scratch() + "/Library").isFile());
    }

    void passwordOnlyOnStandardInput() {
        m_bundle->addScript("freerdp", fake::recorder);
        const QString password = QString::fromUtf8("  Pässwörd 🎬 with spaces ");
        auto received = connectNow("  OTHER\\alice  ", password);
        const qint64 pid = recordedPid();
        QVERIFY(pid > 0);

        QCOMPARE(readAll(fakeDir() + "/stdin"), password.toUtf8() + "\n");
        const QStringList expected = clientArguments(
            "rdp.test.example:3390", "alice", QString("OTHER"), displayArguments(std::nullopt));
        QByteArray argv;
        for (const QString& element : expected)
            argv += element.toUtf8() + '\0';
        QCOMPARE(readAll(fakeDir() + "/argv"), argv);

        const QByteArray secret = password.trimmed().toUtf8();
        QVERIFY(!readAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(secret));
        QVERIFY(!readAll(QStringLiteral("/proc/%1/environ").arg(pid)).contains(secret));
        QVERIFY(!readAll(fakeDir() + "/env").contains(secret));

        const QByteArray log = readAll(logPath());
        QVERIFY(
            log.contains("Starting FreeRDP: /v:rdp.test.example:3390 /u:<redacted> /cert:tofu"));
        QVERIFY(log.contains("/d:<redacted>"));
        QVERIFY(!log.contains("alice"));
        QVERIFY(!log.contains("OTHER"));

        // Nowhere on disk but where the fake itself chose to record stdin.
        QDirIterator files(m_bundle->scratch(), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString file = files.next();
            if (file == fakeDir() + "/stdin")
                continue;
            QVERIFY2(!readAll(file).contains(secret), qPrintable(file));
        }
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, kOpenedAfterMs + 5000);
    }

    void unstartableClientReportsSystemError() {
        TestBundle::writeFile(m_bundle->macOSDir() + "/freerdp",
                              QByteArray("\x01\x02\x03 not a program", 18), 0755);
        auto received = connectNow("alice", "pw");
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 2000);
        QVERIFY(received->onMainThread);
        QVERIFY(!received->outcome->succeeded());
        QVERIFY(!received->outcome->launcherError());
        QCOMPARE(received->outcome->errorDescription(),
                 QString::fromLocal8Bit(std::strerror(ENOEXEC)));
        QVERIFY(!m_launcher->activeProcess());
        const QByteArray log = readAll(logPath());
        QVERIFY(log.startsWith("\n["));
        QCOMPARE(log.count('\n'), 2); // the start line and nothing from a client
    }

    void connectFromAnotherThread() {
        auto received = std::make_shared<Received>();
        std::thread worker([&] {
            m_launcher->connect("", "pw", [received](const LaunchOutcome& outcome) {
                ++received->calls;
                received->outcome = outcome;
                received->onMainThread =
                    QThread::currentThread() == QCoreApplication::instance()->thread();
            });
        });
        worker.join();
        QCOMPARE(received->calls, 0);
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 2000);
        QVERIFY(received->onMainThread);
        QCOMPARE(received->outcome->errorDescription(),
                 "The username contains unsupported characters.");
    }
};

QTEST_GUILESS_MAIN(TestRdpLauncher)
#include "tst_rdplauncher.moc"
