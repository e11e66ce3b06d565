// Staged rollouts: what the manifest's keys mean, when each group's automatic
// check offers the version, that a manual check always does, that a copy
// keeps its group, and that the release command writes what copies read.
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "release/Release.h"
#include "settings/SettingsManager.h"
#include "updater/MacUpdater.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
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

    void makeUpdater(int group) {
        MacUpdater::Configuration config{
            .server = {"localhost", m_server->port()},
            .trustedCas = TestPki::instance().ca(),
            .temporaryDirectory = m_temp.path(),
            .currentVersion = [] { return QStringLiteral("2.0.0"); },
            .isSessionRunning = [] { return false; },
            .rolloutGroup = group,
            .now = [this] { return m_now; },
        };
        config.timings.firstCheck = 1h;
        m_updater = std::make_unique<MacUpdater>(std::move(config),
                                                 std::make_unique<QNetworkAccessManager>());
    }
    bool check(bool manual) {
        std::optional<bool> found;
        m_updater->checkForUpdates(manual, [&](bool f) { found = f; });
        if (!waitUntil([&] { return found.has_value(); }, 20000))
            qWarning("the check did not finish");
        return found.value_or(false);
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

    // A bad value of either key means no rollout, never a refused manifest.
    void keys_data() {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<int>("days"); // 0: no rollout
        QTest::newRow("snake") << QByteArray(
                                      R"("rollout_start":"2026-12-07T10:00:00Z","rollout_days":7)")
                               << 7;
        QTest::newRow("camel") << QByteArray(
                                      R"("rolloutStart":"2026-12-07T10:00:00Z","rolloutDays":30)")
                               << 30;
        QTest::newRow("snake first, even when bad")
            << QByteArray(
                   R"("rollout_start":"2026-12-07T10:00:00Z","rollout_days":0,"rolloutDays":7)")
            << 0;
        QTest::newRow("31 days")
            << QByteArray(R"("rollout_start":"2026-12-07T10:00:00Z","rollout_days":31)") << 0;
        QTest::newRow("half a day")
            << QByteArray(R"("rollout_start":"2026-12-07T10:00:00Z","rollout_days":2.5)") << 0;
        QTest::newRow("days as text")
            << QByteArray(R"("rollout_start":"2026-12-07T10:00:00Z","rollout_days":"7")") << 0;
        QTest::newRow("local time")
            << QByteArray(R"("rollout_start":"2026-12-07T10:00:00","rollout_days":7)") << 0;
        QTest::newRow("not a time")
            << QByteArray(R"("rollout_start":"next week","rollout_days":7)") << 0;
        QTest::newRow("no start") << QByteArray(R"("rollout_days":7)") << 0;
    }
    void keys() {
        QFETCH(QByteArray, keys);
        QFETCH(int, days);
        const auto manifest = MacUpdateManifest::decode("{" + keys + "}");
        QVERIFY(manifest);
        const auto rollout = manifestRollout(*manifest);
        QCOMPARE(rollout.has_value(), days != 0);
        if (rollout) {
            QCOMPARE(rollout->days, days);
            QCOMPARE(rollout->start, kStart);
        }
    }

    // Group g from start + g × days / 30 days, to the millisecond.
    void schedule_data() {
        QTest::addColumn<int>("days");
        QTest::addColumn<int>("group");
        QTest::addColumn<qint64>("after"); // ms after the start
        QTest::newRow("first group at once") << 7 << 0 << qint64(0);
        QTest::newRow("last of 30 days") << 30 << 29 << qint64(29) * 86'400'000;
        QTest::newRow("last of 7 days") << 7 << 29 << qint64(584'640'000);
        QTest::newRow("middle of 1 day") << 1 << 15 << qint64(43'200'000);
    }
    void schedule() {
        QFETCH(int, days);
        QFETCH(int, group);
        QFETCH(qint64, after);
        QCOMPARE(kStart.msecsTo(Rollout{kStart, days}.availableFrom(group)), after);
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

    // Drawn once, kept as text, redrawn only when what is kept is unusable.
    void groupIsKept() {
        const QString file = m_temp.filePath("defaults.ini");
        const auto manager = [&] {
            return std::make_unique<SettingsManager>(
                platform::userDefaultsOn(std::make_unique<QSettings>(file, QSettings::IniFormat)));
        };
        const int drawn = manager()->rolloutGroup();
        QVERIFY(drawn >= 0 && drawn < 30);
        QCOMPARE(manager()->rolloutGroup(), drawn);
        QCOMPARE(QSettings(file, QSettings::IniFormat).value("updateRolloutGroup").toString(),
                 QString::number(drawn));
        QSettings(file, QSettings::IniFormat).setValue("updateRolloutGroup", "30");
        const int redrawn = manager()->rolloutGroup();
        QVERIFY(redrawn >= 0 && redrawn < 30);
    }

    // What the release command writes, a copy reads as the same rollout.
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
