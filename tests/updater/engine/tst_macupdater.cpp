// The updater against the loopback HTTPS server, the lazy loader, and a real proxy.
#include "HttpsTestServer.h"
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "release/Release.h"
#include "settings/SettingsManager.h"
#include "updater/engine/LazyUpdater.h"
#include "updater/engine/MacUpdater.h"
#include "updater/engine/Relaunch.h"
#include "updater/fetching/ImageTransfer.h"
#include "updater/fetching/Sha256.h"
#include "updater/installing/Installer.h"
#include "updater/offer/Version.h"
#include "updater/patches/BundlePatch.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <thread>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;
using Mode = HttpsTestServer::Mode;

const QDateTime kStart = QDateTime::fromString("2026-12-07T10:00:00Z", Qt::ISODate);
constexpr auto kHandedOver = "No installer in this test."; // where an image is handed over

class TestMacUpdater : public QObject {
    Q_OBJECT

    // Where refused redirects point (127.0.0.1, plain HTTP): both would answer, but for the rule.
    std::unique_ptr<HttpsTestServer> m_elsewhere, m_plain;
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<MacUpdater> m_updater;
    QStringList m_installed; // "<version> <architecture>" for each image handed to the installer
    QTemporaryDir m_keys;    // minisign's, made for this run
    QString m_host = "localhost";
    QDateTime m_now; // the clock of a staged rollout

    // Test timings; `port` 0: m_server's.
    void makeUpdater(const std::function<void(MacUpdater::Configuration&)>& adjust = {},
                     quint16 port = 0) {
        m_updater.reset();
        MacUpdater::Configuration config{
            .server = {m_host, port ? port : m_server->port()},
            .trustedCas = TestPki::instance().ca(),
            .temporaryDirectory = m_temp->path(),
            .currentVersion = [] { return QStringLiteral("2.0.0"); },
            .installUpdate =
                [this](const QString&, const QString& version, platform::Architecture arch,
                       const QString&) {
                    const QString handed = version + ' ' + platform::lipoArchitectureName(arch);
                    QMetaObject::invokeMethod(this, [this, handed] { m_installed << handed; });
                    return std::optional<UpdateFailure>(platform::SystemError{ENOSYS, kHandedOver});
                },
            .namedTransferFiles = true, // as on macOS: a download has a name while under way
        };
        config.timings.firstCheck = 1h;
        config.timings.manifestTimeout = config.timings.downloadTimeout = 3s;
        config.timings.offlineFirstRetry = 300ms;
        config.timings.offlineWindow = 3s;
        config.timings.firstResumeWait = 50ms;
        if (adjust)
            adjust(config);
        m_updater = std::make_unique<MacUpdater>(std::move(config),
                                                 std::make_unique<QNetworkAccessManager>());
    }

    // 3.0.0 for both kinds of Mac, with the digest of the image served (none: 64 c's).
    void publish(const HttpsTestServer& server, QJsonObject routes = {},
                 QJsonObject manifest = {}) const {
        QFile image(server.root() + "/image.dmg");
        const QString digest =
            image.open(QIODevice::ReadOnly) ? sha256HexOfBytes(image.readAll()) : QString(64, 'c');
        manifest.insert("mac_version", "3.0.0");
        for (const QString mac : {"x64", "arm64"}) {
            manifest.insert("mac_" + mac + "_url",
                            QString("https://%1:%2/image.dmg").arg(m_host).arg(server.port()));
            manifest.insert("mac_" + mac + "_sha256", digest);
        }
        server.writeFile("version.json", QJsonDocument(manifest).toJson());
        for (const QString name : {"version.json", "image.dmg"})
            if (!routes.contains('/' + name))
                routes.insert('/' + name, QJsonObject{{"file", name}});
        server.setRoutes(routes);
    }

    bool checkNow(bool manual = true) {
        std::optional<bool> found;
        m_updater->checkForUpdates(manual, [&](bool f) { found = f; });
        waitUntil([&] { return found.has_value(); }, 20000);
        return found.value_or(false);
    }

    void serveImage(qsizetype size) const { m_server->writeFile("image.dmg", imageBytes(size)); }

    // publish() with `more`, signed by `signer`'s key (none: no .minisig).
    void publishSigned(const QString& signer, const QJsonObject& more) const {
        serveImage(70'000);
        publish(*m_server,
                {{"/version.json.minisig", QJsonObject{{"file", "version.json.minisig"}}}}, more);
        if (!signer.isEmpty())
            QVERIFY(
                runMinisign(m_keys.path(), {"-S", "-s", signer + ".key", "-m",
                                            m_server->root() + "/version.json", "-t", "3.0.0"}));
    }
    // As a build pins them: their minisign.pub lines, ';' between.
    QList<MinisignKey> pinned(const QStringList& names) const {
        QStringList lines;
        for (const QString& name : names) {
            QFile pub(m_keys.filePath(name + ".pub"));
            lines << (pub.open(QIODevice::ReadOnly) ? pub.readAll().split('\n').value(1) : "");
        }
        return parseMinisignPublicKeys(lines.join(';')).value_or(QList<MinisignKey>());
    }

    QString downloadNow() {
        m_updater->startDownload();
        waitUntil([&] { return !m_updater->isDownloading(); }, 20000);
        return m_updater->statusMessage();
    }

    QStringList leftovers() const {
        return QDir(m_temp->path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase() {
        for (const QString key : {"ours", "backup", "other"})
            QVERIFY(
                runMinisign(m_keys.path(), {"-G", "-W", "-p", key + ".pub", "-s", key + ".key"}));
        m_elsewhere = std::make_unique<HttpsTestServer>();
        m_plain = std::make_unique<HttpsTestServer>(Mode::plain);
        for (const auto* server : {m_elsewhere.get(), m_plain.get()}) {
            QVERIFY(server->isRunning());
            server->writeFile("any", imageBytes(70'000));
            server->setRoutes({{"/version.json", QJsonObject{{"file", "any"}}},
                               {"/image.dmg", QJsonObject{{"file", "any"}}}});
        }
    }
    void init() {
        m_temp = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<HttpsTestServer>();
        QVERIFY(m_server->isRunning());
        m_installed.clear();
        makeUpdater();
    }
    void cleanup() {
        m_updater.reset();
        // A refused redirect is never requested; nothing is left behind.
        QCOMPARE(m_elsewhere->requests() + m_plain->requests(), QStringList());
        QCOMPARE(leftovers(), QStringList());
    }

    // The manifest's and the image's answers: size bounds, digest, chunks, redirects.
    void checkAndDownload_data() {
        // path: the one `route` answers (/moved: the same file; %1: this server's port)
        columns<QString, QJsonObject, QString>("path", "route", "status");
        const QString m = "/version.json", i = "/image.dmg", ok = kHandedOver;
        const QString noCheck = "Update check failed", failed = "Download failed";
        const auto to = [](const QString& url) { return QJsonObject{{"redirect", url}}; };
        const QString elsewhere = QString("https://127.0.0.1:%1").arg(m_elsewhere->port());
        const auto sent = [](int size) { return QJsonObject{{"generate", size}}; };
        const auto flood = [](int n) { return QJsonObject{{"generate", n}, {"length", "none"}}; };
        row("manifest 500", m, QJsonObject{{"status", 500}}, noCheck);
        row("manifest over 256 KiB, undeclared", m, flood(262'145), noCheck);
        row("manifest redirected on the same host", m, to("https://localhost:%1/moved"), ok);
        row("manifest redirected to another host", m, to(elsewhere + "/version.json"), noCheck);
        row("manifest redirected to http", m, to(m_plain->url("/version.json")), noCheck);
        row("verified", i, QJsonObject{{"file", "image.dmg"}}, ok);
        // Filler of the size: past the size floor, the digest must fail.
        row("65 536 bytes", i, sent(65'536), "The downloaded update has an invalid size.");
        row("65 537 bytes", i, sent(65'537), "Integrity check failed.");
        row("sends over 500 MiB, undeclared", i, flood(524'288'001), failed);
        // Refused at once: a stalled body is waited for longer than downloadNow waits.
        row("declares over 500 MiB", i, QJsonObject{{"generate", 524'288'001}, {"stallAfter", 0}},
            failed);
        row("image redirected on the same host", i, to("https://localhost:%1/moved"), ok);
        row("image redirected to another host", i, to(elsewhere + "/image.dmg"), failed);
        row("image redirected to http", i, to(m_plain->url("/image.dmg")), failed);
        // Chunk lines share one allowance that grows with the image.
        row("chunked", i, QJsonObject{{"file", "image.dmg"}, {"chunked", QJsonArray{4096, 16}}},
            ok);
        row("1-byte chunks, 100-byte extensions", i,
            QJsonObject{{"file", "image.dmg"}, {"chunked", QJsonArray{1, 100}}}, failed);
    }
    void checkAndDownload() {
        auto [path, route, status] =
            fetch<QString, QJsonObject, QString>("path", "route", "status");
        // As an Intel copy translated on Apple silicon: the arm64 image reaches the install step.
        makeUpdater([](auto& config) {
            config.runningCopy = platform::RunningCopy::translated;
            config.timings.downloadTimeout = 60s;
        });
        serveImage(70'000);
        const QString port = QString::number(m_server->port());
        if (route.contains("redirect"))
            route["redirect"] = route["redirect"].toString().replace("%1", port);
        publish(*m_server, {{path, route}, {"/moved", QJsonObject{{"file", path.mid(1)}}}});
        const bool offered = checkNow();
        QCOMPARE(m_updater->hasUpdate(), offered);
        QCOMPARE(downloadNow(), status);
        QCOMPARE(m_installed, status == kHandedOver ? QStringList{"3.0.0 arm64"} : QStringList());
        const QStringList requests = m_server->requests();
        QVERIFY(requests.value(0).startsWith("GET /version.json?t="));
        QCOMPARE(requests.filter("| VeldraCloudDesktop-MacUpdater/2.0.0").size(), requests.size());
    }

    // Never offered; the needed macOS or a move to Applications said even unasked.
    void notOffered_data() {
        // hold: the organisation's TargetVersionPrefix
        columns<QString, QString, QString, bool, bool, QString>("system", "rolledBack", "hold",
                                                                "installable", "replaced", "line");
        row("newer macOS", "12.7.4", "", "", true, false,
            "Version 3.0.0 needs macOS 13.0 or later.");
        row("rolled back", "", "3.0.0", "", true, false,
            "Version 3.0.0 could not start and was rolled back.");
        row("held back", "", "", "2.", true, false,
            "Version 3.0.0 is held back by your organisation.");
        row("not in Applications", "", "", "", false, false,
            "Move Veldra Cloud Desktop to Applications to update it.");
        row("replaced under it", "", "", "", true, true, ""); // the loader says so
    }
    void notOffered() {
        auto [system, rolledBack, hold, installable, replaced, line] =
            fetch<QString, QString, QString, bool, bool, QString>(
                "system", "rolledBack", "hold", "installable", "replaced", "line");
        makeUpdater([&](auto& config) {
            config.systemVersion = system;
            config.rolledBackVersion = rolledBack;
            config.announceRollBack = !rolledBack.isEmpty();
            config.targetVersionPrefix = hold;
            config.installable = installable;
            config.isReplaced = [replaced] { return replaced; };
        });
        QCOMPARE(m_updater->statusMessage(), rolledBack.isEmpty() ? QString() : line);
        publish(*m_server, {}, {{"mac_minimum_system_version", "13.0"}});
        QVERIFY(!checkNow(false) && !m_updater->hasUpdate() && !m_updater->shouldPresentUpdate());
        QCOMPARE(m_updater->statusMessage(), hold.isEmpty() ? line : QString());
        QVERIFY(!checkNow());
        QCOMPARE(m_updater->statusMessage(), line);
    }

    // A bad rollout key means no rollout, not a refused manifest; snake case first.
    void rolloutKeys_data() {
        // key: the days' key; kept: 0: no rollout
        columns<QString, double, QString, int>("start", "days", "key", "kept");
        const QString utc = "2026-12-07T10:00:00Z";
        row("7 days", utc, 7.0, "rollout_days", 7);
        row("camel case", utc, 30.0, "rolloutDays", 30);
        row("0 days", utc, 0.0, "rollout_days", 0);
        row("31 days", utc, 31.0, "rollout_days", 0);
        row("half a day", utc, 2.5, "rollout_days", 0);
        row("local time", "2026-12-07T10:00:00", 7.0, "rollout_days", 0);
    }
    void rolloutKeys() {
        auto [start, days, key, kept] =
            fetch<QString, double, QString, int>("start", "days", "key", "kept");
        // A good camel-case value behind a bad snake-case one changes nothing.
        QJsonObject object{{"rollout_start", start}, {"rolloutDays", 7}};
        object.insert(key, days);
        const auto rollout =
            manifestRollout(*MacUpdateManifest::decode(QJsonDocument(object).toJson()));
        QCOMPARE(rollout ? rollout->days : 0, kept);
        QVERIFY(!rollout || rollout->start == kStart);
    }

    // Group 29 of a 10-day rollout gets it on day 9.67, a manual check at once.
    void rolloutAndSchedule() {
        const auto copy = [this](int group, const QString& hold = {}, bool automatic = true) {
            makeUpdater([&](auto& config) {
                config.rolloutGroup = group;
                config.now = [this] { return m_now; };
                config.targetVersionPrefix = hold;
                config.automaticChecks = automatic;
            });
        };
        QJsonObject rollout{{"rollout_start", "2026-12-07T10:00:00Z"}, {"rollout_days", 10}};
        publish(*m_server, {}, rollout);
        copy(29);
        m_now = kStart.addDays(1);
        QVERIFY(!checkNow(false) && !m_updater->hasUpdate() && !m_updater->shouldPresentUpdate());
        QCOMPARE(m_updater->statusMessage(), QString());
        m_now = kStart.addDays(10);
        QVERIFY(checkNow(false) && m_updater->shouldPresentUpdate());
        copy(29);
        m_now = kStart;
        QVERIFY(checkNow() && m_updater->latestVersion() == "3.0.0");
        copy(0, "2.", false);
        m_now = kStart.addDays(30);
        QVERIFY(!checkNow(false) && !checkNow());
        QVERIFY(!m_updater->nextCheckIn()); // the events that would arm it have run
        copy(0, "3.");
        QTRY_VERIFY(m_updater->nextCheckIn());
        QVERIFY(checkNow(false));
        // Required (below "critical_below"): every group at once, but a hold still wins.
        rollout.insert("critical_below", "2.5");
        publish(*m_server, {}, rollout);
        copy(29);
        m_now = kStart.addDays(1);
        QVERIFY(checkNow(false) && m_updater->isRequired());
        copy(29, "2.");
        QVERIFY(!checkNow(false));
        QCOMPARE(m_updater->statusMessage(),
                 "This version of Veldra Cloud Desktop is no longer supported.");
    }

    // The engine loaded when the first check is due, never when managed "off", not even to
    // check; its offer published, "Later" heard.
    void lazyEngine() {
        publish(*m_server);
        UpdateEngineWiring wiring;
        wiring.server = {"localhost", m_server->port()};
        wiring.trustedCaPem = TestPki::instance().ca().value(0).toPem();
        wiring.temporaryDirectory = m_temp->path();
        wiring.currentVersion = [] { return QStringLiteral("2.0.0"); };
        wiring.isSessionRunning = [] { return false; };
        const auto wired = [&] { return wiring; };
        LazyUpdater lazy({UPDATE_ENGINE, UPDATE_ENGINE_VERSION}, wired, 1s);
        LazyUpdater off({UPDATE_ENGINE, UPDATE_ENGINE_VERSION}, wired, 0ms, LazyUpdater::Mode::off);
        off.checkForUpdates(true);
        QTest::qWait(300);
        QVERIFY(!lazy.isLoaded());
        QTRY_VERIFY(lazy.shouldPresentUpdate() && lazy.latestVersion() == "3.0.0");
        QVERIFY(!off.isLoaded());
        lazy.setShouldPresentUpdate(false);
        bool found = false;
        lazy.checkForUpdates(true, [&](bool f) { found = f; });
        QTRY_VERIFY(found);
        QTest::qWait(200);
        QVERIFY(!lazy.shouldPresentUpdate());
    }

    // Managed "manual": no check until asked; an unloadable module fails that check.
    void lazyManagedModes() {
        const auto wiring = [] { return UpdateEngineWiring{}; };
        LazyUpdater manual({"/nonexistent/engine.so", ""}, wiring, 0ms, LazyUpdater::Mode::manual);
        QTest::qWait(50);
        QCOMPARE(manual.statusMessage(), QString());
        bool found = true;
        manual.checkForUpdates(true, [&](bool f) { found = f; });
        QVERIFY(!found && !manual.isLoaded());
        QCOMPARE(manual.statusMessage(), "Update check failed");
    }

    // A copy replaced under the application loads no engine of another version (one line in the
    // log), checks nothing and offers to relaunch; a copy half moved in is not one yet.
    void replacedCopy_data() {
        // own: the version the application is built as; plist: what the bundle says now, the copy
        // having started as 2.1 (empty: nothing)
        columns<QString, QString, QString, QString>("module", "own", "plist", "replacedBy");
        row("another version's engine", UPDATE_ENGINE, "0.9", "2.1", UPDATE_ENGINE_VERSION);
        row("another version at the path", "/nonexistent", UPDATE_ENGINE_VERSION, "2.2.0", "2.2.0");
        row("half moved in", "/nonexistent", UPDATE_ENGINE_VERSION, "", "");
    }
    void replacedCopy() {
        auto [module, own, plist, replacedBy] =
            fetch<QString, QString, QString, QString>("module", "own", "plist", "replacedBy");
        TestBundle bundle;
        QVERIFY(plist.isEmpty() || makeApp(bundle.path(), {.version = plist}));
        if (module == UPDATE_ENGINE) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable("Not loading the update engine " +
                                                          module + ": it is version " + replacedBy +
                                                          ", this application 0.9."));
            QTest::failOnWarning(QRegularExpression("."));
        }
        LazyUpdater lazy({module, own}, [] { return UpdateEngineWiring{}; }, 0ms,
                         LazyUpdater::Mode::manual,
                         {[&] { return replacingVersion(bundle.path(), "2.1"); }, {}});
        bool found = true;
        lazy.checkForUpdates(true, [&](bool f) { found = f; });
        QVERIFY(!found && !lazy.isLoaded());
        QCOMPARE(lazy.replacedBy(), replacedBy);
        const QString line = "Version " + replacedBy + " was installed. Relaunch to use it.";
        QCOMPARE(lazy.statusMessage(), replacedBy.isEmpty() ? "Update check failed" : line);
    }

    // Relaunching starts the copy at the path as the user, and no second one beside this process
    // (a stand-in here): only once it has gone. The job's file is not left behind.
    void relaunch() {
        InstallSandbox sandbox;
        QProcess running;
        running.start("sleep", {"30"});
        QVERIFY(running.waitForStarted());
        QVERIFY(!relaunchWhenGone(fakeTools(), "test.relaunch", sandbox.installed,
                                  running.processId(), sandbox.temp));
        QTest::qWait(500);
        const QString open = "open " + sandbox.installed;
        QVERIFY(!sandbox.toolLog().contains(open));
        running.kill();
        QVERIFY(running.waitForFinished());
        QTRY_VERIFY(sandbox.toolLog().contains(open));
        QCOMPARE(sandbox.toolLog().filter("bootstrap gui/" + QString::number(getuid())).size(), 1);
        QCOMPARE(sandbox.tempFiles(), QStringList());
    }

    // The last of 30 groups gets a 7-day rollout 29/30 × 7 days after the start.
    void releaseWritesTheRollout() {
        serveImage(70'000);
        const auto made = release::makeManifest({.imagePath = m_server->root() + "/image.dmg",
                                                 .version = "3.0.0",
                                                 .url = m_server->url("/a.dmg"),
                                                 .rollout = Rollout{kStart, 7}},
                                                {"localhost", m_server->port()});
        QVERIFY(std::holds_alternative<QByteArray>(made));
        const auto manifest = MacUpdateManifest::decode(std::get<QByteArray>(made));
        const auto rollout = manifest ? manifestRollout(*manifest) : std::nullopt;
        QVERIFY(rollout && rollout->start == kStart && rollout->days == 7);
        QCOMPARE(release::describeRollout(*rollout),
                 "staged over 7 days: automatic checks offer it to the first copies from "
                 "2026-12-07T10:00:00Z, to the last from 2026-12-14T04:24:00Z; a manual check at "
                 "once");
    }

    // A dropped download asks for the rest; a 200 starts over, another part fails.
    void resume_data() {
        // sent: the most the server may send, over the image's size
        columns<QJsonObject, QString, double>("route", "status", "sent");
        const auto route = [](const QJsonObject& more) { // by default: cut once, a strong ETag
            QJsonObject r{{"file", "image.dmg"}, {"etag", "\"v1\""}, {"ranges", true}};
            r.insert("dropAt", QJsonArray{100'000});
            for (const QString& key : more.keys())
                r.insert(key, more[key]);
            return r;
        };
        const QString ok = kHandedOver;
        row("drops at 40 and 80 %", route({{"dropAt", QJsonArray{80'000, 160'000}}}), ok, 1.05);
        row("range ignored", route({{"ranges", false}}), ok, 1.55);
        row("image changed", route({{"etag", "per-request"}}), ok, 1.55);
        row("another part", route({{"rangeStart", 1000}}), "Download failed", 2.0);
        // No strong ETag: no range asked for (this server would send another part).
        for (const auto& [name, etag] : {std::pair{"weak ETag", "W/\"v1\""}, {"only a date", ""}})
            row(name,
                route({{"etag", etag},
                       {"lastModified", "Mon, 01 Jan 2024 00:00:00 GMT"},
                       {"rangeStart", 1000}}),
                ok, 1.55);
    }
    void resume() {
        auto [route, status, sent] = fetch<QJsonObject, QString, double>("route", "status", "sent");
        serveImage(200'000);
        publish(*m_server, {{"/image.dmg", route}});
        QVERIFY(checkNow());
        QCOMPARE(downloadNow(), status);
        QFile log(m_server->root() + "/sent.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        qint64 total = 0;
        for (const QByteArray& line : log.readAll().split('\n'))
            total += line.toLongLong();
        QVERIFY2(static_cast<double>(total) <= sent * 200'000.0 + 4096,
                 qPrintable(QString::number(total)));
    }

    // A disk that takes no more (here a file size limit) fails the download:
    // nothing short of the image is handed over, its digest taken in memory or not.
    void unstorable() {
        serveImage(200'000);
        publish(*m_server);
        QVERIFY(checkNow());
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit was{};
        ::getrlimit(RLIMIT_FSIZE, &was);
        const rlimit limited{100'000, was.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const QString status = downloadNow();
        ::setrlimit(RLIMIT_FSIZE, &was);
        QCOMPARE(status, "Download failed");
        QCOMPARE(m_installed, QStringList());
    }

    // Too few bytes in a few windows in a row end the download for good.
    void trickle() {
        serveImage(200'000);
        m_server->setRoutes({{"/image.dmg", QJsonObject{{"file", "image.dmg"}, {"trickle", 25}}}});
        auto file = std::make_unique<QTemporaryFile>(m_temp->filePath("image"));
        QVERIFY(file->open());
        std::optional<TransferResult> result;
        QObject owner; // ends a transfer still under way
        // Windows of 100 ms, 100 bytes each at least; 500 ms of silence.
        (new ImageTransfer(
             {QUrl(m_server->url("/image.dmg")), {}, 500ms, 1 << 20, 50ms, 100ms, 100},
             {"localhost", m_server->port()}, TestPki::instance().ca(), std::move(file),
             [&](TransferResult r) { result = std::move(r); }, {}, &owner))
            ->start();
        QTRY_VERIFY_WITH_TIMEOUT(result, 5000);
        QCOMPARE(result->transportError.value_or(""), "The transfer timed out.");
        QCOMPARE(m_server->requests().size(), 1); // never tried again
    }

    // A patch through the real install script on the stand-ins; else the image.
    void patch_data() {
        // approval: "": the folder is writable; marker: the installed copy's afterwards
        columns<QString, QString, QString, QString>("damage", "approval", "fetched", "marker");
        row("used", "", "", "patch", "new");
        row("installed copy changed", "installed", "", "image", "new");
        row("digest differs", "digest", "", "patch image", "new");
        row("truncated", "truncated", "", "patch image", "new");
        row("refused before", "refused", "", "image", "new");
        row("as root", "", "approve", "patch", "new");
        row("declined", "", "cancel", "patch", "old");
        row("changed during approval", "during", "approve", "patch", "old");
    }
    void patch() {
        auto [damage, approval, fetched, marker] =
            fetch<QString, QString, QString, QString>("damage", "approval", "fetched", "marker");
        InstallSandbox box;
        QVERIFY(box.isReady());
        const QString newApp = m_temp->filePath("new/") + veldra::platform::kBundleFileName;
        const QString file = m_server->root() + "/patch.tar";
        QVERIFY(makeApp(newApp, {.version = "3.0.0"}));
        // Both copies carry enough for an image of a real image's size.
        for (const QString& app : {box.installed, newApp})
            QVERIFY(TestBundle::writeFile(app + "/Contents/payload", imageBytes(70'000), 0644));
        const auto made = makeBundlePatch(box.installed, newApp, file);
        QVERIFY(std::holds_alternative<PatchHeader>(made));
        QCOMPARE(QProcess::execute("tar", {"-cf", m_server->root() + "/image.dmg", "-C",
                                           m_temp->filePath("new"), "."}),
                 0);
        if (damage == "truncated")
            QVERIFY(QFile::resize(file, QFileInfo(file).size() / 2));
        if (damage == "installed")
            QVERIFY(TestBundle::writeFile(box.installed + "/Contents/.DS_Store", "", 0644));
        qputenv("VELDRA_FAKE_OSASCRIPT", approval.toUtf8());
        if (damage == "during")
            qputenv("VELDRA_FAKE_OSASCRIPT_DURING",
                    QFile::encodeName("cd " + shellQuote(box.temp) +
                                      " && for m in *.patched/*/Contents/Resources.marker; "
                                      "do echo evil > \"$m\"; done"));
        const QJsonObject patch{
            {"from", "2.0.0"},
            {"url", m_server->url("/patch.tar")},
            {"size", QFileInfo(file).size()},
            {"sha256", damage == "digest" ? QString(64, 'b') : std::get<QString>(sha256Hex(file))},
            {"source_tree", std::get<PatchHeader>(made).sourceTree},
            {"result_tree", std::get<PatchHeader>(made).resultTree}};
        publish(*m_server, {{"/patch.tar", QJsonObject{{"file", "patch.tar"}}}},
                {{"mac_x64_patches", QJsonArray{patch}}, {"mac_arm64_patches", QJsonArray{patch}}});
        const auto mayReplace = [writable = approval.isEmpty()](auto&) { return writable; };
        auto installer = std::make_shared<Installer>(
            Installer::Configuration{fakeTools(), "com.veldra.clouddesktop", box.installed,
                                     box.temp, 999999, mayReplace, nullptr, ""});
        makeUpdater([&](auto& config) {
            config.temporaryDirectory = box.temp;
            config.installUpdate = [=](auto&&... a) { return installer->installUpdate(a...); };
            config.installPatchedCopy = [=](auto&&... a) {
                return installer->installPatchedCopy(a...);
            };
            config.installedApplication = box.installed;
            if (damage == "refused")
                config.patchRefusedVersion = "3.0.0";
        });
        QVERIFY(checkNow());
        m_updater->startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(
            approval == "cancel" ? !m_updater->isDownloading()
                                 : !box.toolLog().filter(QRegularExpression("^open ")).isEmpty(),
            20000);
        QTRY_VERIFY_WITH_TIMEOUT(box.tempFiles().isEmpty() && box.mountedVolumes().isEmpty(),
                                 10000);
        QCOMPARE(box.installedMarker(), marker);
        QStringList requested =
            m_server->requests().filter(QRegularExpression("^GET /(patch|image)"));
        requested.replaceInStrings(QRegularExpression("^GET /(\\w+).*"), "\\1").removeDuplicates();
        QCOMPARE(requested.join(' '), fetched);
        if (approval == "cancel")
            QCOMPARE(m_updater->statusMessage(), describe(updater_errors::approvalNotGranted()));
        // The previous copy, started again, takes the image next time.
        QCOMPARE(box.toolLog().filter(QRegularExpression("^open .* --patch-refused 3.0.0$")).size(),
                 damage == "during" ? 1 : 0);
    }

    // A build pinning ours and a backup: a manifest signed by either is offered; every bad
    // signature ends the check before the image is asked for.
    void signedManifest_data() {
        // expires: "": none; signer: "": no .minisig; altered: "manifest", "comment" or ""
        columns<QString, QString, QString, bool, bool>("expires", "signer", "altered", "keyed",
                                                       "offered");
        const char* future = "2099-01-01T00:00:00Z";
        row("signed, unexpired", future, "ours", "", true, true);
        row("by the backup", future, "backup", "", true, true);
        row("manifest altered", future, "ours", "manifest", true, false);
        row("another key", future, "other", "", true, false);
        row("trusted comment altered", future, "ours", "comment", true, false);
        row("no signature", future, "", "", true, false);
        row("expired", "2020-01-01T00:00:00Z", "ours", "", true, false);
        row("no expiry", "", "ours", "", true, false);
        row("an unkeyed build asks for none", "", "", "", false, true);
    }
    void signedManifest() {
        auto [expires, signer, altered, keyed, offered] =
            fetch<QString, QString, QString, bool, bool>("expires", "signer", "altered", "keyed",
                                                         "offered");
        publishSigned(signer,
                      expires.isEmpty() ? QJsonObject() : QJsonObject{{"expires", expires}});
        QFile written(m_server->root() + "/version.json");
        if (altered == "manifest" && written.open(QIODevice::ReadOnly))
            m_server->writeFile("version.json", written.readAll().replace("3.0.0", "3.0.1"));
        QFile signature(m_server->root() + "/version.json.minisig");
        if (altered == "comment" && signature.open(QIODevice::ReadOnly))
            m_server->writeFile("version.json.minisig",
                                signature.readAll().replace("3.0.0", "9.9.9"));
        makeUpdater([&](auto& config) {
            config.publicKeys = keyed ? pinned({"ours", "backup"}) : QList<MinisignKey>();
        });
        QCOMPARE(checkNow(), offered);
        QCOMPARE(m_server->requests().filter(".minisig").size(), keyed ? 1 : 0);
        QCOMPARE(m_updater->statusMessage(),
                 offered ? "Update available" : "Invalid update signature");
        downloadNow();
        QCOMPARE(m_server->requests().filter("/image.dmg").size(), offered ? 1 : 0);
    }

    // Pinned: ours, then the backup. A manifest revokes only keys pinned before its signer, or
    // is refused whole; what an accepted one revokes holds in the user's later runs, and the
    // backup still works.
    void revocations_data() {
        columns<QString, QString, bool, bool>("signer", "revokes", "offered", "oursLater");
        row("the backup revokes ours", "backup", "ours", true, false);
        row("ours revokes the backup", "ours", "backup", false, true);
        row("ours revokes itself", "ours", "ours", false, true);
        row("not a key id", "backup", "ours.pub", false, true);
    }
    void revocations() {
        auto [signer, revokes, offered, oursLater] =
            fetch<QString, QString, bool, bool>("signer", "revokes", "offered", "oursLater");
        const QString id =
            revokes.contains('.') ? revokes : minisignKeyId(m_keys.filePath(revokes + ".pub"));
        const QTemporaryDir home;
        for (const auto& [by, revoked, expected] : {std::tuple{signer, QJsonArray{id}, offered},
                                                    {"ours", {}, oursLater},
                                                    {"backup", {}, true}}) {
            // Each a run of its own, on the user's settings.
            SettingsManager settings(platform::userDefaultsOn(
                std::make_unique<QSettings>(home.filePath("defaults.ini"), QSettings::IniFormat)));
            publishSigned(by, {{"expires", "2099-01-01T00:00:00Z"}, {"revoked_keys", revoked}});
            makeUpdater([&](auto& config) {
                config.publicKeys = pinned({"ours", "backup"});
                config.revokedKeys = settings.revokedKeys();
                config.keysRevoked = [&](const QStringList& ids) { settings.addRevokedKeys(ids); };
            });
            QCOMPARE(checkNow(), expected);
        }
    }

    // An untrusted certificate (the same port served anew after the check): never retried.
    void untrusted_data() {
        columns<int, bool>("mode", "image");
        for (const auto& [name, mode] : {std::pair{"self-signed", Mode::selfSigned},
                                         {"another name", Mode::otherName},
                                         {"expired", Mode::expired}}) {
            QTest::addRow("%s, manifest", name) << int(mode) << false;
            QTest::addRow("%s, image", name) << int(mode) << true;
        }
    }
    void untrusted() {
        auto [mode, image] = fetch<int, bool>("mode", "image");
        const quint16 port = m_server->port();
        if (image) {
            publish(*m_server);
            QVERIFY(checkNow());
        }
        m_server.reset();
        HttpsTestServer untrusted(Mode(mode), port);
        QVERIFY(untrusted.isRunning());
        publish(untrusted);
        QElapsedTimer clock;
        clock.start();
        if (image)
            QCOMPARE(downloadNow(), "Download failed");
        else
            QVERIFY(!checkNow() && m_updater->statusMessage() == "Update check failed");
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(untrusted.requests(), QStringList());
    }

    // Offline (after login or wake): the check tries again until its window closes.
    void offline_data() {
        // upAfterMs: -1: never
        columns<int, int>("upAfterMs", "windowMs");
        row("the server comes up after 1 s", 1000, 10'000);
        row("it never does", -1, 1500);
    }
    void offline() {
        auto [upAfterMs, windowMs] = fetch<int, int>("upAfterMs", "windowMs");
        const quint16 port = m_server->port(); // where nothing answers, until `late` does
        m_server.reset();
        makeUpdater([&](auto& config) { config.timings.offlineWindow = windowMs * 1ms; }, port);
        QElapsedTimer clock;
        clock.start();
        std::optional<bool> found;
        m_updater->checkForUpdates(false, [&](bool f) { found = f; });
        std::unique_ptr<HttpsTestServer> late;
        if (upAfterMs >= 0) {
            QTest::qWait(upAfterMs);
            late = std::make_unique<HttpsTestServer>(Mode::trusted, port);
            QVERIFY(late->isRunning());
            publish(*late);
        }
        QVERIFY(m_updater->isChecking());
        QTRY_VERIFY_WITH_TIMEOUT(found.has_value(), 15000);
        QCOMPARE(*found, upAfterMs >= 0);
        if (upAfterMs < 0) {
            QCOMPARE(m_updater->statusMessage(), "Update check failed");
            QVERIFY(clock.elapsed() >= windowMs);
        }
    }

    // Quitting removes a partial file, and never waits for the install step (a dialog).
    void quitting_data() {
        columns<int>("stallAfter"); // -1: the download ends, in the install step
        row("mid-download", 100'000);
        row("in the install step", -1);
    }
    void quitting() {
        auto [stallAfter] = fetch<int>("stallAfter");
        QSemaphore entered, released;
        makeUpdater([&](auto& config) {
            config.installUpdate = [&](auto&&...) {
                entered.release();
                released.acquire();
                return std::optional<UpdateFailure>(platform::SystemError{ENOSYS, "quit"});
            };
        });
        serveImage(200'000);
        publish(*m_server,
                {{"/image.dmg", QJsonObject{{"file", "image.dmg"}, {"stallAfter", stallAfter}}}});
        QVERIFY(checkNow());
        m_updater->startDownload();
        QTRY_VERIFY_WITH_TIMEOUT((stallAfter < 0 ? entered.available() : leftovers().size()) > 0,
                                 20000);
        // A quit that waits for the step is let go after 5 s, and fails.
        std::thread later([&] {
            std::this_thread::sleep_for(stallAfter < 0 ? 5s : 0s);
            released.release();
        });
        QElapsedTimer quitting;
        quitting.start();
        m_updater->discardDownload();
        const qint64 took = quitting.elapsed();
        later.join();
        QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        QTRY_COMPARE(leftovers(), QStringList());
    }

    // Through squid, as the system's https_proxy, to a host only it knows. Qt reads the
    // system's settings once per process, so the updater runs in a new one.
    void throughAProxy() {
        if (!qEnvironmentVariableIsEmpty("https_proxy")) { // the new process
            m_host = "updates.test.example";
            makeUpdater();
            serveImage(70'000);
            publish(*m_server);
            QVERIFY(checkNow());
            QCOMPARE(downloadNow(), kHandedOver);
            return;
        }
        if (qEnvironmentVariableIsSet("VELDRA_TESTS_WITHOUT_PROXY")) // the Intel runner's choice
            QSKIP("no squid here: this build's proxy path is tested on Apple silicon");
        const QString squid = QStandardPaths::findExecutable(
            "squid", {"/usr/sbin", "/usr/local/sbin", "/opt/homebrew/sbin"});
        QVERIFY2(!squid.isEmpty(), "squid is missing: scripts/install-deps.sh installs it");
        QTemporaryDir dir; // squid drops to its own user when started as root
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
        const quint16 port = HttpsTestServer(Mode::plain).port(); // free once it has gone
        QVERIFY(
            TestBundle::writeFile(dir.filePath("hosts"), "127.0.0.1 updates.test.example\n", 0644));
        const QString conf =
            "http_port 127.0.0.1:%1\nhosts_file %2/hosts\ndns_nameservers 127.0.0.1\n"
            "pinger_enable off\nhttp_access allow all\ncache deny all\npid_filename none\n"
            "cache_log %2/cache.log\naccess_log stdio:%2/access.log\nshutdown_lifetime 0 seconds\n";
        QVERIFY(TestBundle::writeFile(dir.filePath("squid.conf"),
                                      conf.arg(port).arg(dir.path()).toUtf8(), 0644));
        QProcess proxy;
        proxy.start(squid, {"-N", "-f", dir.filePath("squid.conf")});
        QVERIFY(waitUntil(
            [&] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, port);
                return probe.waitForConnected(100);
            },
            10000));
        qputenv("https_proxy", QString("http://127.0.0.1:%1").arg(port).toUtf8()); // for `self`
        qunsetenv("no_proxy");
        QProcess self;
        self.setProcessChannelMode(QProcess::ForwardedChannels);
        self.start(QCoreApplication::applicationFilePath(), {"throughAProxy"});
        QVERIFY(self.waitForFinished(60000));
        QCOMPARE(self.exitCode(), 0);
        proxy.terminate();
        QVERIFY(proxy.waitForFinished(10000));
        QFile log(dir.filePath("access.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count(" CONNECT updates.test.example:"), 2);
    }
};

QTEST_GUILESS_MAIN(TestMacUpdater)
#include "tst_macupdater.moc"
