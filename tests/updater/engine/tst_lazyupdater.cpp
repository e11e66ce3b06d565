// The application's updater loads the updater proper at the first check:
// nothing of the network stack or libcrypto before it.
#include "HttpsTestServer.h"
#include "updater/engine/LazyUpdater.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

class TestLazyUpdater : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The application's own process: a probe that links what it links.
    void loadsTheEngineAtTheFirstCheck() {
        HttpsTestServer server;
        QVERIFY(server.isRunning());
        server.writeFile("version.json",
                         QJsonDocument(QJsonObject{{"mac_version", "3.0.0"},
                                                   {"mac_x64_url", server.url("/a.dmg")},
                                                   {"mac_x64_sha256", QString(64, 'a')}})
                             .toJson());
        server.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}}});
        QTemporaryDir temp;
        QProcess probe;
        QElapsedTimer clock;
        clock.start();
        probe.start(LAZY_PROBE, {UPDATE_ENGINE, QString::number(server.port()),
                                 TestPki::instance().caPem, temp.path()});
        QTRY_VERIFY_WITH_TIMEOUT(!server.requests().isEmpty(), 10000);
        QVERIFY(clock.elapsed() >= 500); // not before the first check is due
        QVERIFY(probe.waitForFinished(20000));
        const QString said = QString::fromUtf8(probe.readAllStandardOutput());
        QCOMPARE(probe.exitCode(), 0);
        QVERIFY2(said.contains("before the first check: network=no crypto=no\n"), qPrintable(said));
        QVERIFY2(said.contains("after it: network=yes crypto=yes\n"), qPrintable(said));
        QVERIFY2(said.contains("offered 3.0.0\n"), qPrintable(said));
        QVERIFY2(said.contains("presented 1 time(s)\n"), qPrintable(said));
    }

    // Managed: "off" never loads the engine (a load would fail here) and says
    // why; "manual" makes no first check, but a user's check runs.
    void managedModes() {
        const auto wiring = [] { return UpdateEngineWiring{}; };
        LazyUpdater off("/nonexistent/engine.so", wiring, 0ms, LazyUpdater::Mode::off);
        off.checkForUpdates(true);
        QCOMPARE(off.statusMessage(), "Updates are managed by your organisation.");
        LazyUpdater manual("/nonexistent/engine.so", wiring, 0ms, LazyUpdater::Mode::manual);
        QTest::qWait(50);
        QCOMPARE(manual.statusMessage(), QString());
        manual.checkForUpdates(true);
        QCOMPARE(manual.statusMessage(), "Update check failed");
    }

    void missingModuleFailsTheCheck() {
        LazyUpdater updater(
            "/nonexistent/engine.so", [] { return UpdateEngineWiring{}; }, std::chrono::hours(1));
        bool found = true;
        updater.checkForUpdates(true, [&](bool f) { found = f; });
        QVERIFY(!found);
        QVERIFY(!updater.isLoaded());
        QCOMPARE(updater.statusMessage(), "Update check failed");
    }
};

QTEST_GUILESS_MAIN(TestLazyUpdater)
#include "tst_lazyupdater.moc"
