// The release command against the loopback HTTPS server: what it writes, the
// application accepts; what it refuses and reports are the application's own
// verdicts.
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "release/Release.h"
#include "updater/Sha256.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

Q_DECLARE_METATYPE(veldra::platform::RunningCopy)

class TestRelease : public QObject {
    Q_OBJECT

    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;

    UpdateServer server() const { return {"localhost", m_server->port()}; }
    QString writeImage(qsizetype size, const QString& name = "image.dmg") const {
        const QString path = m_dir->filePath(name);
        TestBundle::writeFile(path, imageBytes(size), 0644);
        return path;
    }
    release::CheckReport check(const QString& current, bool image,
                               std::optional<MinisignKey> key = {},
                               platform::RunningCopy copy = platform::RunningCopy::x86_64) const {
        return release::checkPublished({.manifestUrl = QUrl(m_server->url("/version.json")),
                                        .currentVersion = current,
                                        .downloadImage = image,
                                        .publicKey = key,
                                        .copy = copy},
                                       server(), TestPki::instance().ca(), m_dir->path());
    }
    bool minisign(const QStringList& arguments) const {
        return runMinisign(m_keys.path(), arguments);
    }

    QTemporaryDir m_keys;

private Q_SLOTS:
    void init() {
        m_server = std::make_unique<HttpsTestServer>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_server->isRunning());
    }

    // What it writes, an installed copy offers and verifies.
    void writtenManifestIsAccepted() {
        const QString image = writeImage(200'000);
        const auto made =
            release::makeManifest({.imagePath = image,
                                   .version = "2.1.0",
                                   .url = m_server->url("/VeldraCloudDesktop-2.1.0.dmg"),
                                   .notes = "Fixes"},
                                  server());
        QVERIFY(std::holds_alternative<QByteArray>(made));
        m_server->writeFile("version.json", std::get<QByteArray>(made));
        QFile bytes(image);
        QVERIFY(bytes.open(QIODevice::ReadOnly));
        m_server->writeFile("image.dmg", bytes.readAll());
        m_server->setRoutes(
            {{"/version.json", QJsonObject{{"file", "version.json"}}},
             {"/VeldraCloudDesktop-2.1.0.dmg", QJsonObject{{"file", "image.dmg"}}}});
        QCOMPARE(check("2.0.9", false).line, "offers 2.1.0 (x86_64 image)");
        const release::CheckReport verified = check("2.0.9", true);
        QVERIFY(verified.offered);
        QCOMPARE(verified.line, "offers 2.1.0 (x86_64 image), image verified (200000 bytes)");
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"image.dmg"});
    }

    // One manifest for both kinds of Mac: each copy downloads and verifies its
    // own image; either image alone is a manifest too.
    void bothImages_data() {
        QTest::addColumn<bool>("withIntel");
        QTest::addColumn<platform::RunningCopy>("copy");
        QTest::addColumn<QString>("line");
        using platform::RunningCopy;
        const QString intel = "offers 2.1 (x86_64 image), image verified (70000 bytes)";
        const QString arm = "offers 2.1 (arm64 image), image verified (90000 bytes)";
        QTest::newRow("both, Intel") << true << RunningCopy::x86_64 << intel;
        QTest::newRow("both, Apple silicon") << true << RunningCopy::arm64 << arm;
        QTest::newRow("both, translated") << true << RunningCopy::translated << arm;
        QTest::newRow("arm64 only, Intel")
            << false << RunningCopy::x86_64 << "Invalid update location";
        QTest::newRow("arm64 only, translated") << false << RunningCopy::translated << arm;
    }
    void bothImages() {
        QFETCH(bool, withIntel);
        QFETCH(platform::RunningCopy, copy);
        QFETCH(QString, line);
        const QString intelImage = writeImage(70'000, "intel.dmg");
        const QString armImage = writeImage(90'000, "arm.dmg");
        const auto made =
            release::makeManifest({.imagePath = withIntel ? intelImage : QString(),
                                   .version = "2.1",
                                   .url = withIntel ? m_server->url("/intel.dmg") : QString(),
                                   .arm64ImagePath = armImage,
                                   .arm64Url = m_server->url("/arm.dmg")},
                                  server());
        QVERIFY(std::holds_alternative<QByteArray>(made));
        m_server->writeFile("version.json", std::get<QByteArray>(made));
        m_server->writeFile("intel.dmg", imageBytes(70'000));
        m_server->writeFile("arm.dmg", imageBytes(90'000));
        m_server->setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}},
                             {"/intel.dmg", QJsonObject{{"file", "intel.dmg"}}},
                             {"/arm.dmg", QJsonObject{{"file", "arm.dmg"}}}});
        QCOMPARE(check("2.0", true, {}, copy).line, line);
    }

    // The macOS an update needs comes from the application in its image: the
    // newest of the images' minimums; an image that does not open is refused.
    void minimumSystemFromImages() {
        const QString intel = m_dir->filePath("intel.dmg");
        const QString arm = m_dir->filePath("arm.dmg");
        QVERIFY(makeUpdateImage(intel, {.padding = 70'000, .minimumSystemVersion = "13.0"}));
        QVERIFY(makeUpdateImage(arm, {.padding = 70'000, .minimumSystemVersion = "13.10"}));
        // Where the stand-in hdiutil mounts: empty again once the images are read.
        const QString volumes = m_dir->filePath("Volumes");
        QVERIFY(QDir().mkpath(volumes));
        qputenv("VELDRA_FAKE_VOLUMES", QFile::encodeName(volumes));
        const auto restore = qScopeGuard([] { qunsetenv("VELDRA_FAKE_VOLUMES"); });
        release::ManifestRequest request{.imagePath = intel,
                                         .version = "2.1",
                                         .url = m_server->url("/intel.dmg"),
                                         .arm64ImagePath = arm,
                                         .arm64Url = m_server->url("/arm.dmg"),
                                         .inspect = release::mountedImageInspector(fakeTools())};
        auto made = release::makeManifest(request, server());
        QVERIFY(std::holds_alternative<QByteArray>(made));
        QCOMPARE(QJsonDocument::fromJson(std::get<QByteArray>(made))
                     .object()
                     .value("mac_minimum_system_version")
                     .toString(),
                 "13.10");
        QCOMPARE(QDir(volumes).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        request.arm64ImagePath = writeImage(70'000, "not-an-image.dmg");
        made = release::makeManifest(request, server());
        QVERIFY(std::holds_alternative<QString>(made));
        QVERIFY(std::get<QString>(made).contains("could not be opened"));
    }

    // Every refusal names its problem, and nothing is written.
    void manifestRefusals_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("problem");
        const QString good = "https://localhost:%1/a.dmg";
        QTest::newRow("another host") << qsizetype(70'000) << "2.1"
                                      << "https://cdn.example/a.dmg"
                                      << "fails the update URL rule";
        QTest::newRow("64 KiB is too small") << qsizetype(65'536) << "2.1" << good << "65536 bytes";
        QTest::newRow("over 500 MiB")
            << qsizetype(524'288'001) << "2.1" << good << "524288001 bytes";
        QTest::newRow("unreadable version") << qsizetype(70'000) << "2.1-beta" << good
                                            << "\"2.1-beta\" is not one the application can read";
    }
    void manifestRefusals() {
        QFETCH(qsizetype, size);
        QFETCH(QString, version);
        QFETCH(QString, url);
        QFETCH(QString, problem);
        const QString image = m_dir->filePath("image.dmg");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size)); // sparse: the size is what is checked
        file.close();
        const auto made = release::makeManifest(
            {.imagePath = image, .version = version, .url = url.arg(m_server->port())}, server());
        QVERIFY(std::holds_alternative<QString>(made));
        QVERIFY2(std::get<QString>(made).contains(problem), qPrintable(std::get<QString>(made)));
        QVERIFY(!std::get<QString>(made).contains('\n'));
    }

    // Each line is the status line an installed 2.0 would show.
    void checkLines_data() {
        QTest::addColumn<QJsonObject>("route");
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("line");
        const QJsonObject file{{"file", "version.json"}};
        const QString digest = sha256HexOfBytes(imageBytes(70'000));
        const auto manifest = [](const QString& version, const QString& digestText) {
            return QJsonDocument(QJsonObject{{"mac_version", version},
                                             {"mac_x64_url", "https://localhost:PORT/image.dmg"},
                                             {"mac_x64_sha256", digestText}})
                .toJson();
        };
        QTest::newRow("up to date") << file << manifest("2.0", digest) << false << "Up to date";
        QTest::newRow("not found")
            << QJsonObject{{"status", 404}} << QByteArray() << false << "Update check failed";
        QTest::newRow("not JSON") << file << QByteArray("<html>") << false
                                  << "Invalid update response";
        QTest::newRow("image differs from its digest")
            << file << manifest("2.1", QString(64, 'a')) << true << "Integrity check failed.";
        QTest::newRow("offered, image verified")
            << file << manifest("2.1", digest) << true
            << "offers 2.1 (x86_64 image), image verified (70000 bytes)";
    }
    void checkLines() {
        QFETCH(QJsonObject, route);
        QFETCH(QByteArray, manifest);
        QFETCH(bool, image);
        QFETCH(QString, line);
        manifest.replace("PORT", QByteArray::number(m_server->port()));
        m_server->writeFile("version.json", manifest);
        m_server->writeFile("image.dmg", imageBytes(70'000));
        m_server->setRoutes(
            {{"/version.json", route}, {"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});
        const release::CheckReport report = check("2.0", image);
        QCOMPARE(report.line, line);
        QCOMPARE(report.offered, line.startsWith("offers"));
    }

    // A keyed build: what it writes expires, and once signed with minisign it
    // is offered; every failed signature is named.
    void signedManifests_data() {
        QTest::addColumn<QString>("signer"); // "" : no .minisig
        QTest::addColumn<int>("expiresInDays");
        QTest::addColumn<bool>("alter");
        QTest::addColumn<QString>("line");
        QTest::newRow("signed") << "ours" << 90 << false << "offers 2.1 (x86_64 image)";
        QTest::newRow("another key")
            << "other" << 90 << false << "Invalid update signature (signed by another key)";
        QTest::newRow("altered") << "ours" << 90 << true
                                 << "Invalid update signature (the manifest was altered after "
                                    "signing)";
        QTest::newRow("expired") << "ours" << -2 << false
                                 << "Invalid update signature (expired on ";
        QTest::newRow("unsigned") << "" << 90 << false
                                  << "Invalid update signature (no signature at https://localhost:";
    }
    void signedManifests() {
        QFETCH(QString, signer);
        QFETCH(int, expiresInDays);
        QFETCH(bool, alter);
        QFETCH(QString, line);
        if (!QFile::exists(m_keys.filePath("ours.key")))
            QVERIFY(minisign({"-G", "-W", "-p", "ours.pub", "-s", "ours.key"}) &&
                    minisign({"-G", "-W", "-p", "other.pub", "-s", "other.key"}));
        const auto made = release::makeManifest(
            {.imagePath = writeImage(70'000),
             .version = "2.1",
             .url = m_server->url("/image.dmg"),
             .expires = QDateTime::currentDateTimeUtc().addDays(expiresInDays)},
            server());
        QByteArray manifest = std::get<QByteArray>(made);
        QVERIFY(manifest.contains("\"expires\""));
        m_server->writeFile("version.json", manifest);
        QJsonObject routes{{"/version.json", QJsonObject{{"file", "version.json"}}}};
        if (!signer.isEmpty()) {
            const QString file = m_server->root() + "/version.json";
            QVERIFY(minisign({"-S", "-s", signer + ".key", "-m", file}));
            routes.insert("/version.json.minisig", QJsonObject{{"file", "version.json.minisig"}});
        }
        if (alter)
            m_server->writeFile("version.json", manifest.replace("2.1", "2.2"));
        m_server->setRoutes(routes);
        const release::CheckReport report =
            check("2.0", false, minisignPublicKey(m_keys.filePath("ours.pub")));
        QVERIFY2(report.line.startsWith(line), qPrintable(report.line));
        QCOMPARE(report.offered, line.startsWith("offers"));
    }

    // The command itself: one line on standard error and status 1 for a
    // refusal, nothing written; the manifest on standard output or in a file.
    void command() {
        const QString image = m_dir->filePath("image.dmg");
        QVERIFY(makeUpdateImage(image, {.padding = 70'000, .minimumSystemVersion = "12.0"}));
        QFile imageFile(image);
        QVERIFY(imageFile.open(QIODevice::ReadOnly));
        const QString digest = sha256HexOfBytes(imageFile.readAll());
        QProcess tool;
        tool.start(RELEASE_TOOL,
                   {"manifest", image, "--version", "2.1", "--url", "https://evil.example/a.dmg",
                    "--output", m_dir->filePath("m.json")});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 1);
        QCOMPARE(tool.readAllStandardError().count('\n'), 1);
        QVERIFY(!QFile::exists(m_dir->filePath("m.json")));

        // This build's own update host.
        tool.start(RELEASE_TOOL,
                   {"manifest", image, "--version", "2.1", "--url",
                    "https://updates.veldra.example/a.dmg", "--output", m_dir->filePath("m.json")});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);
        QFile written(m_dir->filePath("m.json"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QJsonObject manifest = QJsonDocument::fromJson(written.readAll()).object();
        QCOMPARE(manifest.value("mac_x64_sha256").toString(), digest);
        QCOMPARE(manifest.value("mac_version").toString(), "2.1");
        QCOMPARE(manifest.value("mac_minimum_system_version").toString(), "12.0");

        // The arm64 image alone; an image without its URL is a usage error.
        tool.start(RELEASE_TOOL, {"manifest", "--arm64-image", image, "--arm64-url",
                                  "https://updates.veldra.example/b.dmg", "--version", "2.1"});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);
        const QJsonObject arm = QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
        QCOMPARE(arm.value("mac_arm64_sha256").toString(), digest);
        QVERIFY(!arm.contains("mac_x64_url"));
        tool.start(RELEASE_TOOL, {"manifest", image, "--arm64-image", image, "--url",
                                  "https://updates.veldra.example/a.dmg", "--version", "2.1"});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
