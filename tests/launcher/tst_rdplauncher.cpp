// The launcher against fake clients (tests/support/TestBundle.h) in a test bundle.
#include "Rows.h"
#include "TestBundle.h"
#include "launcher/RdpLauncher.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTest>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

namespace {

struct Received {
    int calls = 0;
    std::optional<LaunchOutcome> outcome;
    qint64 atMs = -1;
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

    QString evidence(const char* name) const { return m_bundle->scratch() + "/evidence/" + name; }
    QString logPath() const { return m_bundle->scratch() + "/Library/freerdp.log"; }

    void makeLauncher(std::chrono::milliseconds openedAfter) {
        m_launcher = std::make_unique<RdpLauncher>(
            RdpLauncher::Configuration{"rdp.test.example:3390", [this] { return m_bundle->path(); },
                                       [this] { return logPath(); }, [] { return std::nullopt; },
                                       [this] { return m_downloading; }, openedAfter});
    }
    std::shared_ptr<Received> connectNow(const QString& user, const QString& password) {
        auto received = std::make_shared<Received>();
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        m_launcher->connect(user, password, [received, clock](const LaunchOutcome& outcome) {
            ++received->calls;
            received->outcome = outcome;
            received->atMs = clock->elapsed();
        });
        return received;
    }
    // The running fake's PID, stopped at cleanup.
    qint64 clientPid() {
        qint64 pid = 0;
        waitUntil([&] { return (pid = readAll(evidence("pid")).trimmed().toLongLong()) > 0; },
                  5000);
        m_pids << pid;
        return pid;
    }

private Q_SLOTS:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QDir().mkpath(evidence(""));
        qputenv("VELDRA_FAKE_DIR", QFile::encodeName(evidence("")));
        m_downloading = false;
        makeLauncher(1000ms);
    }
    void cleanup() {
        for (qint64 pid : std::exchange(m_pids, {}))
            killPid(pid);
        m_launcher.reset();
        m_bundle.reset();
    }

    // Refused before anything starts, in this order.
    void refusals_data() {
        columns<bool, QString, QString, QString>("downloading", "username", "password", "message");
        const auto row = [](const char* name, bool downloading, const char* user,
                            const char* password, const char* message) {
            QTest::newRow(name) << downloading << QString(user) << QString(password)
                                << QString(message);
        };
        const char* badUser = "The username contains unsupported characters.";
        row("an update downloading", true, "", "", "Wait for the application update to finish.");
        row("username first", false, "", "", badUser);
        row("username with a tab", false, "al\tice", "pw", badUser);
        row("password ending in a line feed", false, "alice", "pw\n",
            "The password contains unsupported characters.");
    }
    void refusals() {
        auto [downloading, username, password, message] = fetch<bool, QString, QString, QString>(
            "downloading", "username", "password", "message");
        m_bundle->addScript("freerdp", fake::recorder);
        m_downloading = downloading;
        auto received = connectNow(username, password);
        QCOMPARE(received->calls, 1); // before connect returns
        QCOMPARE(received->outcome->errorDescription(), message);
        QVERIFY(!m_launcher->activeProcess());
        QTest::qWait(100);
        QVERIFY(!QFile::exists(evidence("argv")));
        QVERIFY(!QFile::exists(logPath()));
    }

    // A client that ends before the session counts as opened is a failure,
    // with its status and last words.
    void earlyEndings_data() {
        columns<QByteArray, QString>("script", "description");
        QTest::newRow("exit 0") << QByteArray(fake::exitsSilently)
                                << "FreeRDP could not connect (status 0). The client closed "
                                   "before the session opened.";
        QTest::newRow("exit 131") << QByteArray(fake::exits131)
                                  << "FreeRDP could not connect (status 131). "
                                     "ERRCONNECT_CONNECT_FAILED: the server refused";
        QTest::newRow("SIGKILL") << QByteArray(fake::killedBySignal)
                                 << "FreeRDP could not connect (status 9).";
        QTest::newRow("exit after 0.2 s")
            << QByteArray("sleep 0.2; exit 2\n") << "FreeRDP could not connect (status 2).";
        QTest::newRow("missing") << QByteArray()
                                 << "The bundled FreeRDP component is missing. Reinstall Veldra "
                                    "Cloud Desktop.";
    }
    void earlyEndings() {
        auto [script, description] = fetch<QByteArray, QString>("script", "description");
        if (!script.isEmpty())
            m_bundle->addScript("freerdp", script);
        auto received = connectNow("alice", "pw");
        QCOMPARE(received->calls, 0); // reported later, on the main thread
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
        QCOMPARE(received->outcome->errorDescription(), description);
        QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->activeProcess(), 2000);
        QTest::qWait(1100); // the opened check adds no second outcome
        QCOMPARE(received->calls, 1);
    }

    // With the production interval: opened no sooner than 3 s; meanwhile and
    // after, a second sign-in is refused at once.
    void runningClientOpensTheSession() {
        makeLauncher(RdpLauncher::kOpenedAfter);
        m_bundle->addScript("freerdp", fake::keepsRunning);
        auto received = connectNow("alice", "pw");
        clientPid();
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 8000);
        QVERIFY(received->outcome->succeeded());
        QVERIFY2(received->atMs >= 3000, qPrintable(QString::number(received->atMs)));
        QVERIFY(m_launcher->isSessionRunning());
        auto second = connectNow("", "");
        QCOMPARE(second->calls, 1);
        QCOMPARE(second->outcome->errorDescription(),
                 "A remote desktop session is already running.");
    }

    // The password reaches the client only on standard input; the user and
    // domain are redacted in the log.
    void passwordOnlyOnStandardInput() {
        m_bundle->addScript("freerdp", fake::recorder);
        // What would send the client elsewhere for the password, or log it.
        qputenv("FREERDP_ASKPASS", "/tmp/askpass");
        qputenv("WLOG_LEVEL", "TRACE");
        const QString password = QString::fromUtf8("  Pässwörd 🎬 with spaces ");
        auto received = connectNow("  OTHER\\alice  ", password);
        qunsetenv("FREERDP_ASKPASS");
        qunsetenv("WLOG_LEVEL");
        clientPid();
        QCOMPARE(readAll(evidence("stdin")), password.toUtf8() + "\n");
        // The client's contract, in order; the password comes on standard input.
        QCOMPARE(readAll(evidence("argv")).split('\0').join('|'),
                 "/v:rdp.test.example:3390|/u:alice|/cert:tofu|/from-stdin:force|"
                 "/dynamic-resolution|+clipboard|/printer|/sound|/microphone|/network:auto|"
                 "+auto-reconnect|+decorations|-grab-keyboard|-grab-mouse|/t:Veldra Cloud Desktop|"
                 "/size:1240x736|/scale-desktop:100|/scale-device:100|/d:OTHER|");
        const QByteArray secret = password.trimmed().toUtf8();
        const QByteArray environment = '\0' + readAll(evidence("env"));
        const auto has = [&](const char* name) {
            return environment.contains('\0' + QByteArray(name));
        };
        QVERIFY(!has("FREERDP_") && !has("WLOG_") && has("VELDRA_FAKE_DIR="));
        const QByteArray log = readAll(logPath());
        QVERIFY(
            log.contains("Starting FreeRDP: /v:rdp.test.example:3390 /u:<redacted> /cert:tofu"));
        QVERIFY(log.contains("/d:<redacted>"));
        QVERIFY(!log.contains("alice") && !log.contains("OTHER"));
        QDirIterator files(m_bundle->scratch(), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) // nowhere on disk but where the fake itself put it
            if (const QString file = files.next(); file != evidence("stdin"))
                QVERIFY2(!readAll(file).contains(secret), qPrintable(file));
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
    }
};

QTEST_GUILESS_MAIN(TestRdpLauncher)
#include "tst_rdplauncher.moc"
