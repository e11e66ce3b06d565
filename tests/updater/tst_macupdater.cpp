#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "launcher/RdpLauncher.h"
#include "updater/MacUpdater.h"
#include "updater/Sha256.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;
using Mode = HttpsTestServer::Mode;

namespace {

const QString kRunning = "2.0.0";

QString hexDigest(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Other servers a redirect may point at: a trusted one reached as 127.0.0.1
// and a plain-HTTP one, each serving the same file as real.dmg / real.json.
class RedirectTargets {
public:
    explicit RedirectTargets(const QByteArray& body) : m_plain(Mode::plain) {
        for (const HttpsTestServer* server : {&m_other, &m_plain}) {
            server->writeFile("real", body);
            server->setRoutes({{"/real.dmg", QJsonObject{{"file", "real"}}},
                               {"/real.json", QJsonObject{{"file", "real"}}}});
        }
    }
    QString resolve(const QString& target, quint16 mainPort) const {
        return QString(target)
            .replace("%1", QString::number(mainPort))
            .replace("%2", QString::number(m_other.port()))
            .replace("%3", QString::number(m_plain.port()));
    }
    QStringList requests() const { return m_other.requests() + m_plain.requests(); }

private:
    HttpsTestServer m_other;
    HttpsTestServer m_plain;
};

} // namespace

class TestMacUpdater : public QObject {
    Q_OBJECT

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<MacUpdater> m_updater;
    bool m_sessionRunning = false;
    std::optional<UpdateFailure> m_installResult;
    QStringList m_installedImages;
    std::atomic<bool> m_installedOnMainThread{false};
    std::atomic<platform::Architecture> m_installedArchitecture{platform::Architecture::x86_64};

    std::unique_ptr<MacUpdater> makeUpdater(quint16 port, MacUpdater::Timings timings = {},
                                            bool namedTransferFiles = false,
                                            const QString& host = "localhost") {
        MacUpdater::Configuration config = baseConfig(port);
        config.namedTransferFiles = namedTransferFiles;
        config.server = {host, port};
        config.jitter = [] { return 250'000ms; };
        config.timings = timings;
        return std::make_unique<MacUpdater>(std::move(config),
                                            std::make_unique<QNetworkAccessManager>());
    }

    MacUpdater::Configuration baseConfig(quint16 port) {
        return {
            .server = {"localhost", port},
            .trustedCas = TestPki::instance().ca(),
            .temporaryDirectory = m_temp->path(),
            .currentVersion = [] { return kRunning; },
            .isSessionRunning = [this] { return m_sessionRunning; },
            .installUpdate =
                [this](const QString& image, const QString& version,
                       platform::Architecture architecture) {
                    m_installedArchitecture = architecture;
                    m_installedOnMainThread =
                        QThread::currentThread() == QCoreApplication::instance()->thread();
                    QMetaObject::invokeMethod(
                        this,
                        [this, image, version] { m_installedImages << image + " " + version; },
                        Qt::QueuedConnection);
                    return QFile::exists(image) ? m_installResult
                                                : std::optional<UpdateFailure>(
                                                      platform::SystemError{ENOENT, "gone"});
                },
        };
    }

    static MacUpdater::Timings quick() {
        MacUpdater::Timings t;
        t.firstCheck = 3'600'000ms; // no automatic check unless a test asks for one
        t.manifestTimeout = 1'500ms;
        t.downloadTimeout = 1'500ms;
        t.manifestCap = 2'000ms; // a manifest's whole transfer; never an image's
        t.offlineFirstRetry = 400ms;
        t.offlineWindow = 3'000ms;
        return t;
    }

    QJsonObject manifest(const QString& version, const QString& url, const QString& digest) {
        return QJsonObject{
            {"mac_version", version}, {"mac_x64_url", url}, {"mac_x64_sha256", digest}};
    }

    void offer(const QJsonObject& manifestObject) {
        m_server->writeFile("version.json", QJsonDocument(manifestObject).toJson());
        m_server->setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}}});
    }

    bool checkNow(bool manual = true) {
        bool done = false;
        bool found = false;
        m_updater->checkForUpdates(manual, [&](bool f) {
            done = true;
            found = f;
        });
        if (!waitUntil([&] { return done; }, 15000))
            qWarning("the check did not finish");
        return found;
    }

    QStringList leftovers() const {
        return QDir(m_temp->path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(!TestPki::instance().ca().isEmpty(),
                 "openssl could not make the test certificates");
    }

    void init() {
        m_temp = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<HttpsTestServer>();
        QVERIFY(m_server->isRunning());
        m_sessionRunning = false;
        m_installResult = platform::SystemError{ENOSYS, "No installer in this test."};
        m_installedImages.clear();
        m_updater = makeUpdater(m_server->port(), quick());
    }
    void cleanup() {
        m_updater.reset();
        m_server.reset();
        m_temp.reset();
    }

    // Every outcome of a check, against the real server.
    void checkOutcomes_data() {
        QTest::addColumn<QJsonObject>("route");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("found");
        const QString url = "https://localhost/VeldraCloudDesktop-3.0.0.dmg";
        const QByteArray good = QJsonDocument(QJsonObject{{"mac_version", "3.0.0"},
                                                          {"mac_x64_url", url},
                                                          {"mac_x64_sha256", QString(64, 'a')}})
                                    .toJson(QJsonDocument::Compact);
        const QJsonObject file{{"file", "version.json"}};
        const auto with = [&](std::initializer_list<QPair<QString, QJsonValue>> extra) {
            QJsonObject o = file;
            for (const auto& [k, v] : extra)
                o.insert(k, v);
            return o;
        };
        QTest::newRow("200, newer") << file << good << "Update available" << true;
        QTest::newRow("304") << with({{"status", 304}}) << good << "Update check failed" << false;
        QTest::newRow("500") << with({{"status", 500}}) << good << "Update check failed" << false;
        QTest::newRow("200, empty body")
            << file << QByteArray() << "Invalid update response size" << false;
        QTest::newRow("over 256 KiB without a length")
            << with({{"length", "none"}}) << good + QByteArray(300000, ' ') << "Update check failed"
            << false;
        QTest::newRow("no Content-Length, small")
            << with({{"length", "none"}}) << good << "Update available" << true;
        QTest::newRow("lying Content-Length")
            << with({{"length", 5000}}) << good << "Update check failed" << false;
        QTest::newRow("stalls mid-transfer")
            << with({{"stallAfter", 10}}) << good << "Update check failed" << false;
        QTest::newRow("drops the connection") << with({{"dropAfter", 10}, {"length", 5000}}) << good
                                              << "Update check failed" << false;
        QTest::newRow("not JSON") << file << QByteArray("<html>") << "Invalid update response"
                                  << false;
        QTest::newRow("older version")
            << file << QByteArray("{\"mac_version\":\"1.9\"}") << "Up to date" << false;
    }
    void checkOutcomes() {
        QFETCH(QJsonObject, route);
        QFETCH(QByteArray, body);
        QFETCH(QString, status);
        QFETCH(bool, found);
        // The test server's own port (a URL without one means 443).
        body.replace("https://localhost/", m_server->url("/").toUtf8());
        m_server->writeFile("version.json", body);
        m_server->setRoutes({{"/version.json", route}});
        QSignalSpy prompt(m_updater.get(), &MacUpdater::shouldPresentUpdateChanged);
        QCOMPARE(checkNow(), found);
        QCOMPARE(m_updater->statusMessage(), status);
        QCOMPARE(m_updater->hasUpdate(), found);
        QCOMPARE(m_updater->shouldPresentUpdate(), found);
        QVERIFY(!m_updater->isChecking());
        if (found) {
            QCOMPARE(m_updater->latestVersion(), "3.0.0");
            QCOMPARE(m_updater->downloadUrl(), m_server->url("/VeldraCloudDesktop-3.0.0.dmg"));
            QCOMPARE(m_updater->expectedSha256(), QString(64, 'a'));
        }
        // Whatever happened, no transfer file is left behind.
        QTRY_COMPARE(leftovers(), QStringList());
    }

    void requestShape() {
        offer(manifest("1.0", "", ""));
        checkNow();
        const QStringList requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        static const QRegularExpression shape(
            "^GET /version\\.json\\?t=\\d+\\.\\d+ \\| VeldraCloudDesktop-MacUpdater/2\\.0\\.0$");
        QVERIFY2(shape.match(requests.first()).hasMatch(), qPrintable(requests.first()));
    }

    void untrustedServers_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("self-signed certificate") << int(Mode::selfSigned);
        QTest::newRow("plain HTTP") << int(Mode::plain);
        QTest::newRow("trusted CA, another host name") << int(Mode::otherName);
        QTest::newRow("trusted CA, expired") << int(Mode::expired);
    }
    void untrustedServers() {
        QFETCH(int, mode);
        HttpsTestServer other(static_cast<Mode>(mode));
        QVERIFY(other.isRunning());
        other.writeFile(
            "version.json",
            QJsonDocument(manifest("3.0", other.url("/a.dmg"), QString(64, 'a'))).toJson());
        other.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}}});
        m_updater = makeUpdater(other.port(), quick());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!checkNow());
        // A TLS failure is an answer: never retried as if the server were offline.
        QVERIFY(clock.elapsed() < quick().offlineWindow.count());
        QCOMPARE(m_updater->statusMessage(), "Update check failed");
        QVERIFY(!m_updater->hasUpdate());
    }

    // Offline at first (after login or wake): the check stays in flight and
    // tries again until its window closes, and only then fails.
    void unreachableServer_data() {
        QTest::addColumn<int>("listensAfterMs"); // -1: never
        QTest::newRow("server comes up after 1 s") << 1000;
        QTest::newRow("never comes up") << -1;
    }
    void unreachableServer() {
        QFETCH(int, listensAfterMs);
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        MacUpdater::Timings timings = quick();
        if (listensAfterMs >= 0)
            timings.offlineWindow = 10'000ms; // room for a slow server start
        m_updater = makeUpdater(port, timings);
        QElapsedTimer clock;
        clock.start();
        int calls = 0;
        bool found = false;
        m_updater->checkForUpdates(false, [&](bool f) {
            ++calls;
            found = f;
        });
        std::unique_ptr<HttpsTestServer> late;
        if (listensAfterMs >= 0) {
            QTest::qWait(listensAfterMs);
            late = std::make_unique<HttpsTestServer>(Mode::trusted, port);
            QVERIFY(late->isRunning());
            late->writeFile(
                "version.json",
                QJsonDocument(manifest("3.0", late->url("/a.dmg"), QString(64, 'c'))).toJson());
            late->setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}}});
        }
        QVERIFY(m_updater->isChecking());
        int joined = 0;
        m_updater->checkForUpdates(true, [&](bool) { ++joined; });
        QTRY_VERIFY_WITH_TIMEOUT(calls == 1, 15000);
        QCOMPARE(joined, 1);
        QCOMPARE(found, listensAfterMs >= 0);
        if (!found) {
            QCOMPARE(m_updater->statusMessage(), "Update check failed");
            QVERIFY(clock.elapsed() >= quick().offlineWindow.count());
        }
        QTest::qWait(200);
        QCOMPARE(calls, 1);
    }

    // Behind a proxy (the system's, here from https_proxy): the update host is
    // a name only the proxy knows, TLS runs end to end through the tunnel, and
    // the URL rule applies to the target.
    void behindAProxy_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("check and download through the tunnel") << "through";
        QTest::newRow("the proxy refuses the tunnel") << "refused";
        QTest::newRow("a redirect target fails TLS") << "redirect to an untrusted server";
        QTest::newRow("the image's tunnel reaches a server that fails TLS") << "untrusted image";
    }
    void behindAProxy() {
        QFETCH(QString, kind);
        const QString host = "updates.test.example";
        HttpsTestServer untrusted(Mode::selfSigned);
        QList<quint16> backends{m_server->port()};
        if (kind.startsWith("redirect") || kind == "untrusted image")
            backends << untrusted.port(); // the second tunnel
        ConnectProxy proxy(host + ":443", backends, kind == "refused");
        QVERIFY(proxy.isRunning());
        qputenv("https_proxy", proxy.url().toUtf8());
        qunsetenv("no_proxy");
        const auto restore = qScopeGuard([] { qunsetenv("https_proxy"); });

        const QByteArray image = imageBytes(70'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", "https://" + host + "/image.dmg", hexDigest(image)));
        if (kind.startsWith("redirect"))
            m_server->setRoutes(
                {{"/version.json", QJsonObject{{"redirect", "https://" + host + "/real.json"}}}});
        m_updater = makeUpdater(443, quick(), false, host);
        const bool found = checkNow();
        QCOMPARE(found, kind == "through" || kind == "untrusted image");
        QVERIFY(proxy.requests().value(0).startsWith("CONNECT " + host + ":443 "));
        if (!found) {
            QCOMPARE(m_updater->statusMessage(), "Update check failed");
            // The redirect itself passed the rule and got its own tunnel.
            if (kind.startsWith("redirect"))
                QVERIFY(proxy.requests().size() >= 2); // Qt may retry a failed tunnel
            return;
        }
        m_server->setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});
        untrusted.writeFile("image.dmg", image); // it would serve the very same bytes
        untrusted.setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});
        m_updater->startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!m_updater->isDownloading(), 15000);
        const bool trusted = kind == "through";
        QCOMPARE(m_updater->statusMessage(),
                 trusted ? "No installer in this test." : "Download failed");
        QCOMPARE(m_installedImages.size(), trusted ? 1 : 0);
        QVERIFY(proxy.requests().size() >= 2); // the check and the download, at least
    }

    void requestsJoinTheCheckInFlight() {
        m_server->writeFile("version.json",
                            QJsonDocument(QJsonObject{{"mac_version", "1.0"}}).toJson());
        m_server->setRoutes(
            {{"/version.json", QJsonObject{{"file", "version.json"}, {"delayMs", 400}}}});
        int automaticCalls = 0;
        m_updater->checkForUpdates(false, [&](bool) { ++automaticCalls; });
        for (int i = 0; i < 3; ++i)
            m_updater->checkForUpdates(true);
        QVERIFY(m_updater->isChecking());
        QTRY_VERIFY_WITH_TIMEOUT(automaticCalls > 0, 10000);
        QTest::qWait(100);
        QCOMPARE(automaticCalls, 1);
        QCOMPARE(m_server->requests().size(), 1);
        // Joined by a manual request, so even "Up to date" is shown.
        QCOMPARE(m_updater->statusMessage(), "Up to date");
    }

    void automaticUpToDateStaysQuietButClears() {
        offer(manifest("3.0", m_server->url("/a.dmg"), QString(64, 'c')));
        QVERIFY(checkNow(false));
        QVERIFY(m_updater->hasUpdate());
        m_server->setRoutes({{"/version.json", QJsonObject{{"status", 500}}}});
        checkNow(false);
        QCOMPARE(m_updater->statusMessage(),
                 "Update check failed"); // failures show, even automatic
        QVERIFY(m_updater->hasUpdate()); // and keep the known update
        offer(manifest("2.0.0", "", ""));
        QVERIFY(!checkNow(false));
        QCOMPARE(m_updater->statusMessage(), "Update check failed");
        QVERIFY(!m_updater->hasUpdate());
        QCOMPARE(m_updater->latestVersion(), QString());
        QCOMPARE(m_updater->downloadUrl(), QString());
        QCOMPARE(m_updater->expectedSha256(), QString());
    }

    // A version this macOS cannot run is never offered; only a user who asked
    // is told why.
    void newerSystemNeededIsSaidOnlyWhenAsked() {
        MacUpdater::Configuration config = baseConfig(m_server->port());
        config.systemVersion = "12.7.4";
        config.timings = quick();
        m_updater = std::make_unique<MacUpdater>(std::move(config),
                                                 std::make_unique<QNetworkAccessManager>());
        QJsonObject offered = manifest("3.0", m_server->url("/a.dmg"), QString(64, 'c'));
        offered.insert("mac_minimum_system_version", "13.0");
        offer(offered);
        QVERIFY(!checkNow(false));
        QCOMPARE(m_updater->statusMessage(), QString());
        QVERIFY(!m_updater->hasUpdate());
        QVERIFY(!m_updater->shouldPresentUpdate());
        QVERIFY(!checkNow(true));
        QCOMPARE(m_updater->statusMessage(), "Version 3.0 needs macOS 13.0 or later.");
        QVERIFY(!m_updater->hasUpdate());
    }

    void promptOncePerVersion() {
        QSignalSpy raised(m_updater.get(), &MacUpdater::shouldPresentUpdateChanged);
        offer(manifest("3.0", m_server->url("/a.dmg"), QString(64, 'c')));
        checkNow();
        QVERIFY(m_updater->shouldPresentUpdate());
        m_updater->setShouldPresentUpdate(false); // "Later"
        checkNow();
        QCOMPARE(m_updater->statusMessage(), "Update available");
        QVERIFY(!m_updater->shouldPresentUpdate());
        offer(manifest("3.1", m_server->url("/a.dmg"), QString(64, 'c')));
        checkNow();
        QVERIFY(m_updater->shouldPresentUpdate());
        m_updater->setShouldPresentUpdate(false);
        // A roll-back to the running version, then 3.1 again: no second prompt.
        offer(manifest("2.0", "", ""));
        checkNow();
        offer(manifest("3.1", m_server->url("/a.dmg"), QString(64, 'c')));
        checkNow();
        QVERIFY(m_updater->hasUpdate());
        QVERIFY(!m_updater->shouldPresentUpdate());
    }

    void sessionRunningRefusesChecks() {
        offer(manifest("3.0", m_server->url("/a.dmg"), QString(64, 'c')));
        m_sessionRunning = true;
        bool automaticResult = true;
        bool called = false;
        m_updater->checkForUpdates(false, [&](bool found) {
            called = true;
            automaticResult = found;
        });
        QVERIFY(called); // at once
        QVERIFY(!automaticResult);
        QCOMPARE(m_updater->statusMessage(), QString());
        m_updater->checkForUpdates(true);
        QCOMPARE(m_updater->statusMessage(), "Finish the current session before checking");
        QVERIFY(!m_updater->isChecking());
        QTest::qWait(200);
        QCOMPARE(m_server->requests().size(), 0);
    }

    // The schedule users get, from the production timings and draw: the first
    // check 3 s after start, then an hour plus 0 to 300 s; 120 s while a
    // session runs.
    void productionSchedule() {
        offer(manifest("1.0", "", ""));
        m_updater = std::make_unique<MacUpdater>(baseConfig(m_server->port()),
                                                 std::make_unique<QNetworkAccessManager>());
        bool sessionRunning = true;
        MacUpdater::Configuration busyConfig = baseConfig(m_server->port());
        busyConfig.isSessionRunning = [&] { return sessionRunning; };
        MacUpdater busy(std::move(busyConfig), std::make_unique<QNetworkAccessManager>());
        QTRY_VERIFY(m_updater->nextCheckIn() && busy.nextCheckIn());
        QVERIFY(*m_updater->nextCheckIn() > 2'000ms && *m_updater->nextCheckIn() <= 3'000ms);
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requests().size() == 1 && !m_updater->isChecking() &&
                                     m_updater->nextCheckIn() > 3'000'000ms,
                                 8000);
        QVERIFY(*m_updater->nextCheckIn() <= 3'900'000ms);
        QVERIFY(*m_updater->nextCheckIn() > 3'590'000ms);
        QTRY_VERIFY(busy.nextCheckIn() > 100'000ms && busy.nextCheckIn() < 1'000'000ms);
        QVERIFY(*busy.nextCheckIn() <= 120'000ms);
        QCOMPARE(m_server->requests().size(), 1); // the busy one never asked
    }

    void callsFromAnotherThread() {
        offer(manifest("3.0", m_server->url("/a.dmg"), QString(64, 'c')));
        std::atomic<bool> found{false}, done{false};
        std::thread worker([&] {
            m_updater->checkForUpdates(true, [&](bool f) {
                found = f;
                done = true;
            });
        });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 10000);
        QVERIFY(found);
    }

    // Downloads ------------------------------------------------------------

    void downloads_data() {
        QTest::addColumn<QJsonObject>("route");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("rightDigest");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("installed");
        const QJsonObject file{{"file", "image.dmg"}};
        const auto with = [&](std::initializer_list<QPair<QString, QJsonValue>> extra) {
            QJsonObject o = file;
            for (const auto& [k, v] : extra)
                o.insert(k, v);
            return o;
        };
        const QString stub = "No installer in this test.";
        QTest::newRow("verified, handed to the installer")
            << file << 70'000 << true << stub << true;
        QTest::newRow("no Content-Length")
            << with({{"length", "none"}}) << 70'000 << true << stub << true;
        QTest::newRow("chunked, each chunk over several reads")
            << with({{"chunked", 100'003}}) << 3 * 1024 * 1024 << true << stub << true;
        QTest::newRow("3 MiB, far over the manifest's cap")
            << file << 3 * 1024 * 1024 << true << stub << true;
        QTest::newRow("trickles past the manifest's whole-transfer bound")
            << with({{"trickleBytes", 5'000}, {"trickleMs", 250}}) << 70'000 << true << stub
            << true;
        QTest::newRow("65 536 bytes is too small")
            << file << 65'536 << true << "The downloaded update has an invalid size." << false;
        QTest::newRow("digest differs")
            << file << 70'000 << false << "Integrity check failed." << false;
        QTest::newRow("206") << with({{"status", 206}}) << 70'000 << true << "Download failed"
                             << false;
        // Real bodies: only the declared-length check and the progress guard
        // stop these early.
        QTest::newRow("declares and sends more than 500 MiB")
            << QJsonObject{{"generate", 524'288'001}} << 70'000 << true << "Download failed"
            << false;
        QTest::newRow("sends more than 500 MiB undeclared")
            << QJsonObject{{"generate", 524'288'001}, {"length", "none"}} << 70'000 << true
            << "Download failed" << false;
        QTest::newRow("lying Content-Length")
            << with({{"length", 90'000}}) << 70'000 << true << "Download failed" << false;
        QTest::newRow("stalls") << with({{"stallAfter", 30'000}}) << 70'000 << true
                                << "Download failed" << false;
        QTest::newRow("drops") << with({{"dropAfter", 30'000}}) << 70'000 << true
                               << "Download failed" << false;
        // %2 is a second trusted server (known as 127.0.0.1), %3 a plain-HTTP
        // one: both would answer, so only the rule stops them.
        QTest::newRow("redirect to another host")
            << QJsonObject{{"redirect", "https://127.0.0.1:%2/real.dmg"}} << 70'000 << true
            << "Download failed" << false;
        QTest::newRow("redirect to http")
            << QJsonObject{{"redirect", "http://localhost:%3/real.dmg"}} << 70'000 << true
            << "Download failed" << false;
        QTest::newRow("redirect on the same host")
            << QJsonObject{{"redirect", "https://localhost:%1/real.dmg"}} << 70'000 << true << stub
            << true;
    }
    void downloads() {
        QFETCH(QJsonObject, route);
        QFETCH(int, size);
        QFETCH(bool, rightDigest);
        QFETCH(QString, status);
        QFETCH(bool, installed);
        const QByteArray image = imageBytes(size);
        m_server->writeFile("image.dmg", image);
        const RedirectTargets targets(image);
        if (route.contains("redirect"))
            route["redirect"] = targets.resolve(route["redirect"].toString(), m_server->port());
        const QString digest = rightDigest ? hexDigest(image) : hexDigest(image + "x");
        offer(manifest("3.0.0", m_server->url("/VeldraCloudDesktop-3.0.0.dmg"), digest.toUpper()));
        QVERIFY(checkNow());
        QJsonObject routes{{"/version.json", QJsonObject{{"file", "version.json"}}},
                           {"/VeldraCloudDesktop-3.0.0.dmg", route},
                           {"/real.dmg", QJsonObject{{"file", "image.dmg"}}}};
        m_server->setRoutes(routes);

        m_updater->startDownload();
        QVERIFY(m_updater->isDownloading());
        QCOMPARE(m_updater->statusMessage(), QString::fromUtf8("Downloading…"));
        QVERIFY(!m_updater->shouldPresentUpdate());
        QTRY_VERIFY_WITH_TIMEOUT(!m_updater->isDownloading(), 15000);
        QCOMPARE(m_updater->statusMessage(), status);
        QTest::qWait(50);
        QCOMPARE(m_installedImages.size(), installed ? 1 : 0);
        if (installed) {
            static const QRegularExpression name(
                "/VeldraCloudDesktop-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"
                "\\.dmg 3\\.0\\.0$");
            QVERIFY2(name.match(m_installedImages.first()).hasMatch(),
                     qPrintable(m_installedImages.first()));
            QVERIFY(!m_installedOnMainThread);
        }
        QVERIFY(m_server->requests().contains(
            "GET /VeldraCloudDesktop-3.0.0.dmg | VeldraCloudDesktop-MacUpdater/2.0.0"));
        // A refused redirect is never requested.
        QCOMPARE(targets.requests(), QStringList());
        // The updater stays usable, and nothing is left in the temporary folder.
        QCOMPARE(m_updater->latestVersion(), "3.0.0");
        QCOMPARE(m_updater->expectedSha256(), digest);
        QTRY_COMPARE(leftovers(), QStringList());
    }

    // macOS has no unnamed files: a download under way has a name in the
    // temporary folder, and the shared updater is never destroyed.
    void quittingMidDownloadLeavesNothing() {
        m_updater = makeUpdater(m_server->port(), quick(), true);
        const QByteArray image = imageBytes(200'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", m_server->url("/VeldraCloudDesktop-3.0.0.dmg"), hexDigest(image)));
        QVERIFY(checkNow());
        m_server->setRoutes({{"/VeldraCloudDesktop-3.0.0.dmg",
                              QJsonObject{{"file", "image.dmg"}, {"stallAfter", 100'000}}}});
        m_updater->startDownload();
        QTRY_VERIFY(!leftovers().filter(kTransferFilePrefix).isEmpty());
        const QString partial =
            m_temp->path() + "/" + leftovers().filter(kTransferFilePrefix).first();
        // 0600: owner read and write, nothing for group or others.
        QCOMPARE(QFile::permissions(partial) & 0x0777, QFile::ReadUser | QFile::WriteUser);
        m_updater->discardDownload();
        QCOMPARE(leftovers(), QStringList());
    }

    // What a killed run left: unheld transfers and stale images go; a live
    // transfer (held by its writer) and a fresh image may still be in use.
    void nextStartSweepsLeftovers() {
        // The updater init() made sweeps this folder on its worker thread as
        // it starts; it goes first, so it cannot take this test's files.
        m_updater.reset();
        const QDir dir(m_temp->path());
        const auto make = [&](const QString& name, qint64 ageSeconds) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("x");
            file.flush();
            file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                             QFileDevice::FileModificationTime);
        };
        make(".veldra-transfer-DEAD01", 0);
        make(".veldra-transfer-LIVE01", 0);
        make("VeldraCloudDesktop-OLD.dmg", 3600);
        make("veldra-install-OLD.zsh", 3600);
        make("VeldraCloudDesktop-NEW.dmg", 60);
        make("unrelated.dmg", 3600);
        const int live = ::open(QFile::encodeName(dir.filePath(".veldra-transfer-LIVE01")), O_RDWR);
        QVERIFY(live >= 0 && ::flock(live, LOCK_EX) == 0);
        m_updater = makeUpdater(m_server->port(), quick());
        QTRY_COMPARE(leftovers(), (QStringList{".veldra-transfer-LIVE01", "unrelated.dmg",
                                               "VeldraCloudDesktop-NEW.dmg"}));
        ::close(live);
    }

    void handedOverImageStaysForTheInstaller() {
        const QByteArray image = imageBytes(80'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", m_server->url("/image.dmg"), hexDigest(image)));
        QVERIFY(checkNow());
        m_server->setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});
        m_installResult.reset(); // the installer takes over
        m_updater->startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(m_installedImages.size() == 1, 15000);
        QVERIFY(m_updater->isDownloading()); // until the installer says otherwise
        const QString path = m_installedImages.first().section(' ', 0, 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), image);
        QCOMPARE(QFile::permissions(path) & 0x0777, QFile::ReadUser | QFile::WriteUser);
    }

    // An Intel copy running translated downloads the arm64 image, and the
    // installer is asked for arm64.
    void translatedCopyMovesToArm64() {
        const QByteArray image = imageBytes(80'000);
        m_server->writeFile("image.dmg", image);
        QJsonObject both = manifest("3.0.0", m_server->url("/intel.dmg"), QString(64, 'a'));
        both.insert("mac_arm64_url", m_server->url("/image.dmg"));
        both.insert("mac_arm64_sha256", hexDigest(image));
        offer(both);
        MacUpdater::Configuration config = baseConfig(m_server->port());
        config.timings = quick();
        config.runningCopy = platform::RunningCopy::translated;
        m_updater = std::make_unique<MacUpdater>(std::move(config),
                                                 std::make_unique<QNetworkAccessManager>());
        QVERIFY(checkNow());
        QCOMPARE(m_updater->downloadUrl(), m_server->url("/image.dmg"));
        m_server->setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});
        m_updater->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(m_installedImages.size(), 1, 15000);
        QCOMPARE(m_installedArchitecture.load(), platform::Architecture::arm64);
    }

    // Progress reaches the interface from the main thread, a few times a
    // second at most, with the total once the server declares it.
    void downloadProgressIsPublished_data() {
        QTest::addColumn<bool>("declared");
        QTest::newRow("Content-Length") << true;
        QTest::newRow("no Content-Length") << false;
    }
    void downloadProgressIsPublished() {
        QFETCH(bool, declared);
        const QByteArray image = imageBytes(300'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", m_server->url("/image.dmg"), hexDigest(image)));
        QVERIFY(checkNow());
        QJsonObject route{{"file", "image.dmg"}, {"trickleBytes", 20'000}, {"trickleMs", 100}};
        if (!declared)
            route.insert("length", "none");
        m_server->setRoutes({{"/image.dmg", route}});
        QList<QPair<qint64, qint64>> seen;
        bool offMainThread = false;
        connect(m_updater.get(), &UpdaterState::downloadProgressChanged, this, [&] {
            offMainThread |= QThread::currentThread() != thread();
            seen << qMakePair(m_updater->bytesReceived(), m_updater->bytesExpected());
        });
        QElapsedTimer clock;
        clock.start();
        m_updater->startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!m_updater->isDownloading(), 15000);
        QVERIFY(!offMainThread);
        QVERIFY2(seen.size() >= 3, qPrintable(QString::number(seen.size())));
        // At most one report per 250 ms, the reset and the last one aside.
        QVERIFY2(seen.size() <= clock.elapsed() / 250 + 3,
                 qPrintable(QString::number(seen.size())));
        const qint64 total = declared ? image.size() : -1;
        bool partway = false;
        // (The last report of an undeclared body carries its final size.)
        for (const auto& [received, expected] : seen.mid(1, seen.size() - 2)) {
            QCOMPARE(expected, total);
            partway |= received > 0 && received < image.size();
        }
        QVERIFY(partway);
        QCOMPARE(seen.last().first, qint64(image.size()));
    }

    // An hourly check may publish a newer version while a download runs; the
    // download still verifies and installs what it started with.
    void newerVersionDuringDownloadLeavesItAlone() {
        const QByteArray image = imageBytes(70'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", m_server->url("/image.dmg"), hexDigest(image)));
        QVERIFY(checkNow());
        m_server->writeFile(
            "version.json",
            QJsonDocument(manifest("4.0.0", m_server->url("/image4.dmg"), hexDigest(image + "4")))
                .toJson());
        m_server->setRoutes(
            {{"/version.json", QJsonObject{{"file", "version.json"}}},
             {"/image.dmg",
              QJsonObject{{"file", "image.dmg"}, {"trickleBytes", 10'000}, {"trickleMs", 200}}}});
        m_updater->startDownload();
        QVERIFY(checkNow());
        QCOMPARE(m_updater->latestVersion(), "4.0.0");
        QTRY_VERIFY_WITH_TIMEOUT(!m_updater->isDownloading(), 15000);
        QCOMPARE(m_updater->statusMessage(), "No installer in this test.");
        QTRY_COMPARE(m_installedImages.size(), 1);
        QVERIFY(m_installedImages.first().endsWith(" 3.0.0"));
    }

    void downloadRefusals() {
        const QByteArray image = imageBytes(70'000);
        m_server->writeFile("image.dmg", image);
        offer(manifest("3.0.0", m_server->url("/image.dmg"), hexDigest(image)));
        QVERIFY(checkNow());
        m_server->setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}, {"delayMs", 500}}}});

        // A session is running: say so, and keep the prompt open.
        m_sessionRunning = true;
        m_updater->startDownload();
        QCOMPARE(m_updater->statusMessage(), "Finish the current session before updating");
        QVERIFY(!m_updater->isDownloading());
        QVERIFY(m_updater->shouldPresentUpdate());

        // A second click while downloading does nothing.
        m_sessionRunning = false;
        m_updater->startDownload();
        m_updater->startDownload();
        QVERIFY(m_updater->isDownloading());
        QTRY_VERIFY_WITH_TIMEOUT(!m_updater->isDownloading(), 15000);
        QCOMPARE(m_server->requests().filter("/image.dmg").size(), 1);
    }

    // Failures a real server cannot provoke: files that vanish or cannot move.
    void fileSystemFailures() {
        const UpdateServer server{"localhost", 443};
        const auto transferOf = [&](const QByteArray& bytes) {
            TransferResult t;
            t.file = std::make_unique<QTemporaryFile>(m_temp->path() + "/.veldra-transfer-XXXXXX");
            t.file->open();
            t.file->write(bytes);
            t.file->flush();
            t.isHttp = true;
            t.status = 200;
            t.finalUrl = QUrl("https://localhost/a.dmg");
            return t;
        };
        const QByteArray image = imageBytes(70'000);
        const MacUpdater::InstallStep never =
            [](const QString&, const QString&,
               platform::Architecture) -> std::optional<UpdateFailure> {
            qFatal("must not install");
        };

        TransferResult vanished = transferOf(image);
        QFile::remove(vanished.file->fileName());
        QCOMPARE(completeDownload(std::move(vanished), hexDigest(image), "3",
                                  platform::kBuildArchitecture, server, m_temp->path(), never),
                 QString::fromLocal8Bit(std::strerror(ENOENT)));

        const auto moveFails =
            completeDownload(transferOf(image), hexDigest(image), "3", platform::kBuildArchitecture,
                             server, m_temp->path() + "/missing", never);
        QVERIFY(moveFails && !moveFails->isEmpty());

        TransferResult manifest = transferOf("{}");
        QFile::remove(manifest.file->fileName());
        QCOMPARE(handleManifestResponse(manifest, "1.0", server).message,
                 "Invalid update response");
        QTRY_COMPARE(leftovers(), QStringList());
    }

    void digestMatchesOpenssl() {
        QTemporaryDir dir;
        const QString path = dir.path() + "/blob";
        const QByteArray bytes = imageBytes(3 * 1024 * 1024 + 17); // crosses several 1 MiB blocks
        QVERIFY(TestBundle::writeFile(path, bytes, 0600));
        QCOMPARE(std::get<QString>(sha256Hex(path)), hexDigest(bytes));
        QVERIFY(std::holds_alternative<platform::SystemError>(sha256Hex(dir.path() + "/missing")));
    }

    void cacheBusting_data() {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("query");
        QTest::newRow("fraction") << 1765051704.25 << "?t=1765051704.25";
        QTest::newRow("whole seconds keep one decimal") << 1765051704.0 << "?t=1765051704.0";
        QTest::newRow("shortest round trip") << 0.1 << "?t=0.1";
    }
    void cacheBusting() {
        QFETCH(double, seconds);
        QFETCH(QString, query);
        QCOMPARE(cacheBustingQuery(seconds), query);
    }
};

QTEST_GUILESS_MAIN(TestMacUpdater)
#include "tst_macupdater.moc"
