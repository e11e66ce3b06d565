// Staged rollouts: what the manifest's keys mean, when each group's automatic
// check offers the version, that a manual check always does, and that the
// release command writes what copies read.
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "release/Release.h"
#include "updater/engine/MacUpdater.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

namespace {

const QDateTime kStart = QDateTime::fromString("2026-12-07T10:00:00Z", Qt::ISODate);

} // namespace

class TestRollout : public QObject {
    Q_OBJECT

    QTemporaryDir m_temp;
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<MacUpdater> m_updater;
    QDateTime m_now;

    void makeUpdater(int group, const QString& hold = {}, bool automatic = true) {
        MacUpdater::Configuration config{
            .server = {"localhost", m_server->port()},
            .trustedCas = TestPki::instance().ca(),
            .temporaryDirectory = m_temp.path(),
            .currentVersion = [] { return QStringLiteral("2.0.0"); },
            .isSessionRunning = [] { return false; },
            .rolloutGroup = group,
            .now = [this] { return m_now; },
            .targetVersionPrefix = hold,
            .automaticChecks = automatic,
        };
        config.timings.firstCheck = 1h;
        m_updater = std::make_unique<MacUpdater>(std::move(config),
                                                 std::make_unique<QNetworkAccessManager>());
    }
    bool check(bool manual) {
        std::optional<bool> found;
        m_updater->checkForUpdates(manual, [&](bool f) { found = f; });
        return waitUntil([&] { return found.has_value(); }, 20000) && *found;
    }

private Q_SLOTS:
    void initTestCase() {
        m_server = std::make_unique<HttpsTestServer>();
        QVERIFY(m_server->isRunning());
        m_server->writeFile("version.json",
                            QJsonDocument(QJsonObject{{"mac_version", "3.0.0"},
                                                      {"mac_x64_url", m_server->url("/a.dmg")},
                                                      {"mac_x64_sha256", QString(64, 'c')},
                                                      {"rollout_start", "2026-12-07T10:00:00Z"},
                                                      {"rollout_days", 10}})
                                .toJson());
        m_server->setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}}});
    }

    // A bad value of either key means no rollout, never a refused manifest;
    // snake case first, even when bad.
    void keys_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<double>("days");
        QTest::addColumn<QString>("key"); // the days' key
        QTest::addColumn<int>("kept");    // 0: no rollout
        const QString utc = "2026-12-07T10:00:00Z";
        QTest::newRow("7 days") << utc << 7.0 << "rollout_days" << 7;
        QTest::newRow("camel case") << utc << 30.0 << "rolloutDays" << 30;
        QTest::newRow("0 days") << utc << 0.0 << "rollout_days" << 0;
        QTest::newRow("31 days") << utc << 31.0 << "rollout_days" << 0;
        QTest::newRow("half a day") << utc << 2.5 << "rollout_days" << 0;
        QTest::newRow("local time") << "2026-12-07T10:00:00" << 7.0 << "rollout_days" << 0;
    }
    void keys() {
        QFETCH(QString, start);
        QFETCH(double, days);
        QFETCH(QString, key);
        QFETCH(int, kept);
        // A good camel-case value behind a bad snake-case one changes nothing.
        QJsonObject object{{"rollout_start", start}, {"rolloutDays", 7}};
        object.insert(key, days);
        const auto rollout =
            manifestRollout(*MacUpdateManifest::decode(QJsonDocument(object).toJson()));
        QCOMPARE(rollout ? rollout->days : 0, kept);
        QVERIFY(!rollout || rollout->start == kStart);
    }

    // Group 29 of a 10-day rollout gets it on day 9.67: an automatic check on
    // day 1 says nothing and offers nothing, one on day 10 offers it; a
    // manual check offers it on day zero.
    void automaticWaitsManualDoesNot() {
        makeUpdater(29);
        m_now = kStart.addDays(1);
        QVERIFY(!check(false));
        QVERIFY(!m_updater->hasUpdate());
        QVERIFY(!m_updater->shouldPresentUpdate());
        QCOMPARE(m_updater->statusMessage(), QString());
        m_now = kStart.addDays(10);
        QVERIFY(check(false));
        QVERIFY(m_updater->shouldPresentUpdate());

        makeUpdater(29);
        m_now = kStart;
        QVERIFY(check(true));
        QCOMPARE(m_updater->latestVersion(), "3.0.0");
    }

    // An organisation's hold: a version outside it is never offered, and only
    // a user who asked is told why; a copy that checks only when asked has
    // nothing scheduled.
    void organisationHolds() {
        makeUpdater(0, "2.", false);
        m_now = kStart.addDays(30);
        QVERIFY(!check(false));
        QCOMPARE(m_updater->statusMessage(), QString());
        QVERIFY(!check(true));
        QCOMPARE(m_updater->statusMessage(), "Version 3.0.0 is held back by your organisation.");
        QVERIFY(!m_updater->nextCheckIn()); // the events that would arm it have run
        makeUpdater(0, "3.");
        QTRY_VERIFY(m_updater->nextCheckIn());
        QVERIFY(check(false));
    }

    // A required update (this copy is below "critical_below") is every
    // group's at once; an organisation's hold still wins, and the window then
    // says that this version is no longer supported.
    void requiredReachesEveryGroup() {
        const QString manifest = m_server->root() + "/version.json";
        QFile original(manifest);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray staged = original.readAll();
        original.close();
        QJsonObject required = QJsonDocument::fromJson(staged).object();
        required.insert("critical_below", "2.5");
        m_server->writeFile("version.json", QJsonDocument(required).toJson());
        m_now = kStart;
        makeUpdater(29);
        QVERIFY(check(false) && m_updater->isRequired());
        makeUpdater(29, "2.");
        QVERIFY(!check(false));
        QCOMPARE(m_updater->statusMessage(),
                 "This version of Veldra Cloud Desktop is no longer supported.");
        m_server->writeFile("version.json", staged);
    }

    // What the release command writes, a copy reads as the same rollout; the
    // last of 30 groups gets a 7-day one 29/30 × 7 days after the start.
    void releaseWritesWhatCopiesRead() {
        const QString image = m_temp.filePath("image.dmg");
        QVERIFY(TestBundle::writeFile(image, QByteArray(70'000, 'i'), 0644));
        const auto made = release::makeManifest({.imagePath = image,
                                                 .version = "3.0.0",
                                                 .url = m_server->url("/a.dmg"),
                                                 .rollout = Rollout{kStart, 7}},
                                                {"localhost", m_server->port()});
        QVERIFY(std::holds_alternative<QByteArray>(made));
        const auto manifest = MacUpdateManifest::decode(std::get<QByteArray>(made));
        QVERIFY(manifest);
        const auto rollout = manifestRollout(*manifest);
        QVERIFY(rollout);
        QCOMPARE(rollout->start, kStart);
        QCOMPARE(rollout->days, 7);
        QCOMPARE(release::describeRollout(*rollout),
                 "staged over 7 days: automatic checks offer it to the first copies from "
                 "2026-12-07T10:00:00Z, to the last from 2026-12-14T04:24:00Z; a manual check at "
                 "once");
    }
};

QTEST_GUILESS_MAIN(TestRollout)
#include "tst_rollout.moc"
