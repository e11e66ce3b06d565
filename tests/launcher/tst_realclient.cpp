// The real FreeRDP client, started by the launcher from a test bundle, against
// a real RDP server (FreeRDP's shadow server with NLA and a SAM file) on
// 127.0.0.1, under a private Xvfb display and a private PulseAudio null sink.
#include "TestBundle.h"
#include "launcher/RdpLauncher.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace veldra;
using namespace veldra::test;

namespace {

const char* const kUser = "demo";
const char* const kPassword = "Secret 123";

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool portListening(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

class TestRealClient : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_xvfb, m_pulse, m_server;
    quint16 m_port = 0;
    QString m_display;
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<RdpLauncher> m_launcher;
    QList<qint64> m_clientPids;
    int m_clientHomes = 0;

    QString serverLog() const { return m_dir.path() + "/shadow.log"; }

    static void stop(QProcess& process) {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(3000)) {
                process.kill();
                process.waitForFinished(3000);
            }
        }
    }

    std::shared_ptr<std::optional<LaunchOutcome>> signIn(const QString& password,
                                                         const QString& host) {
        // A fresh HOME per client, so trust-on-first-use never meets a stale key.
        const QString home = m_dir.path() + "/client-home-" + QString::number(++m_clientHomes);
        QDir().mkpath(home);
        qputenv("HOME", QFile::encodeName(home));
        auto received = std::make_shared<std::optional<LaunchOutcome>>();
        m_launcher = std::make_unique<RdpLauncher>(RdpLauncher::Configuration{
            host,
            [this] { return m_bundle->path(); },
            [this] { return m_dir.path() + "/Library/Logs/Veldra Cloud Desktop/freerdp.log"; },
            [] { return std::nullopt; },
            [] { return false; },
            std::chrono::milliseconds(3000),
        });
        m_launcher->connect(kUser, password,
                            [received](const LaunchOutcome& outcome) { *received = outcome; });
        if (auto process = m_launcher->activeProcess())
            m_clientPids << process->processId();
        return received;
    }

private Q_SLOTS:
    void initTestCase() {
        for (const char* tool :
             {"Xvfb", "xfreerdp", "freerdp-shadow-cli", "winpr-hash", "pulseaudio"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(
                    QStringLiteral("%1 is not installed: the real-client test needs the Debian "
                                   "packages xvfb freerdp2-x11 freerdp2-shadow-x11 winpr-utils "
                                   "pulseaudio (the test command installs them)")
                        .arg(tool)));
        }

        // Display: Xvfb tells its number on stdout once it is ready.
        m_xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                              "-noreset"});
        QVERIFY(m_xvfb.waitForReadyRead(10000));
        m_display = ":" + QString::fromLatin1(m_xvfb.readAllStandardOutput().trimmed());

        // Audio: /microphone needs a server to talk to.
        const QString pulseDir = m_dir.path() + "/pulse";
        QDir().mkpath(pulseDir);
        auto pulseEnv = QProcessEnvironment::systemEnvironment();
        pulseEnv.insert("HOME", pulseDir);
        pulseEnv.insert("PULSE_RUNTIME_PATH", pulseDir);
        m_pulse.setProcessEnvironment(pulseEnv);
        m_pulse.setStandardOutputFile(m_dir.path() + "/pulse.log");
        m_pulse.setProcessChannelMode(QProcess::MergedChannels);
        m_pulse.start("pulseaudio", {"--daemonize=no", "--exit-idle-time=-1", "-n",
                                     "--load=module-native-protocol-unix socket=" + pulseDir +
                                         "/sock auth-anonymous=1",
                                     "--load=module-null-sink"});
        QVERIFY(m_pulse.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pulseDir + "/sock"), 10000);

        // Server: NLA against a SAM file, so a wrong password is really refused.
        QProcess hash;
        hash.start("winpr-hash", {"-u", kUser, "-p", kPassword, "-d", "VELDRA", "-f", "sam"});
        QVERIFY(hash.waitForFinished(5000));
        const QString sam = m_dir.path() + "/sam";
        QVERIFY(TestBundle::writeFile(sam, hash.readAllStandardOutput(), 0600));
        const QString serverHome = m_dir.path() + "/server-home";
        QDir().mkpath(serverHome);
        auto serverEnv = QProcessEnvironment::systemEnvironment();
        serverEnv.insert("HOME", serverHome);
        serverEnv.insert("DISPLAY", m_display);
        serverEnv.insert("WLOG_LEVEL", "INFO");
        m_server.setProcessEnvironment(serverEnv);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.setStandardOutputFile(serverLog());
        m_port = freePort();
        // Line-buffered, so the log can be read while the server runs.
        m_server.start("stdbuf",
                       {"-oL", "-eL", "freerdp-shadow-cli", "/port:" + QString::number(m_port),
                        "/bind-address:127.0.0.1", "/sec:nla", "+auth", "/sam-file:" + sam});
        QVERIFY(m_server.waitForStarted(5000));
        QVERIFY2(waitUntil([&] { return portListening(m_port); }, 15000),
                 "the RDP server did not listen");

        // The client: Debian's xfreerdp, placed where the bundle keeps it.
        m_bundle = std::make_unique<TestBundle>();
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("xfreerdp"),
                            m_bundle->macOSDir() + "/freerdp"));
        qputenv("DISPLAY", m_display.toLatin1());
        qputenv("PULSE_SERVER", ("unix:" + pulseDir + "/sock").toLatin1());
    }

    void cleanup() {
        for (qint64 pid : std::as_const(m_clientPids))
            killPid(pid);
        m_clientPids.clear();
        m_launcher.reset();
    }

    void cleanupTestCase() {
        stop(m_server);
        stop(m_pulse);
        stop(m_xvfb);
    }

    void rightPasswordOpensSession() {
        auto received = signIn(kPassword, "127.0.0.1:" + QString::number(m_port));
        QTRY_VERIFY_WITH_TIMEOUT(received->has_value(), 10000);
        QVERIFY2((*received)->succeeded(), qPrintable((*received)->errorDescription()));
        QVERIFY(m_launcher->isSessionRunning());
        QVERIFY2(waitUntil(
                     [&] {
                         QFile log(serverLog());
                         return log.open(QIODevice::ReadOnly) &&
                                log.readAll().contains("is activated");
                     },
                     5000),
                 "the server never activated the session");
        QTest::qWait(1000);
        QVERIFY(m_launcher->isSessionRunning());
    }

    void wrongPasswordFails() {
        auto received = signIn("not the password", "127.0.0.1:" + QString::number(m_port));
        QTRY_VERIFY_WITH_TIMEOUT(received->has_value(), 10000);
        const RdpLauncherError* error = (*received)->launcherError();
        QVERIFY2(error, qPrintable((*received)->errorDescription()));
        QCOMPARE(error->kind(), RdpLauncherError::Kind::launchFailed);
        qInfo("wrong password: %s", qPrintable(error->errorDescription()));
        QCOMPARE(error->status(), 147); // xfreerdp 2.11 on an authentication failure
        QVERIFY(!error->detail().isEmpty());
        QVERIFY(!error->detail().contains(QLatin1String("not the password")));
        QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->activeProcess(), 5000);
    }

    void noServerListening() {
        auto received = signIn(kPassword, "127.0.0.1:" + QString::number(freePort()));
        QTRY_VERIFY_WITH_TIMEOUT(received->has_value(), 10000);
        const RdpLauncherError* error = (*received)->launcherError();
        QVERIFY2(error, qPrintable((*received)->errorDescription()));
        QCOMPARE(error->kind(), RdpLauncherError::Kind::launchFailed);
        QVERIFY(error->status() != 0);
        qInfo("no server: %s", qPrintable(error->errorDescription()));
    }
};

QTEST_GUILESS_MAIN(TestRealClient)
#include "tst_realclient.moc"
