// The release command against the loopback HTTPS server: what it writes, the
// application accepts; what it refuses and reports are the application's own
// verdicts.
#include "HttpsTestServer.h"
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "release/Release.h"
#include "updater/installing/Installer.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

Q_DECLARE_METATYPE(veldra::platform::RunningCopy)

// The update host as this build's release command checks URLs: with its port.
QString updateHost() {
    const UpdateServer server = UpdateServer::production();
    return server.port == 443 ? server.host : server.host + ':' + QString::number(server.port);
}

class TestRelease : public QObject {
    Q_OBJECT

    QTemporaryDir m_keys;
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;

    UpdateServer server() const { return {"localhost", m_server->port()}; }
    QString writeImage(qsizetype size, const QString& name) const {
        const QByteArray bytes = imageBytes(size);
        m_server->writeFile(name, bytes);
        TestBundle::writeFile(m_dir->filePath(name), bytes, 0644);
        return m_dir->filePath(name);
    }
    // Publishes what makeManifest wrote, signed with `signer` ("": unsigned).
    void publish(const std::variant<QByteArray, QString>& made, const QString& signer) {
        QVERIFY(std::holds_alternative<QByteArray>(made));
        m_server->writeFile("version.json", std::get<QByteArray>(made));
        if (!signer.isEmpty())
            QVERIFY(runMinisign(m_keys.path(), {"-S", "-s", signer + ".key", "-m",
                                                m_server->root() + "/version.json"}));
        m_server->setRoutes(
            {{"/version.json", QJsonObject{{"file", "version.json"}}},
             {"/version.json.minisig", QJsonObject{{"file", "version.json.minisig"}}},
             {"/intel.dmg", QJsonObject{{"file", "intel.dmg"}}},
             {"/arm.dmg", QJsonObject{{"file", "arm.dmg"}}}});
    }
    release::CheckReport check(platform::RunningCopy copy, bool keyed) const {
        return release::checkPublished(
            {.manifestUrl = QUrl(m_server->url("/version.json")),
             .currentVersion = "2.0",
             .downloadImage = true,
             .publicKey = keyed ? minisignPublicKey(m_keys.filePath("ours.pub")) : std::nullopt,
             .copy = copy},
            server(), TestPki::instance().ca(), m_dir->path());
    }

private Q_SLOTS:
    void initTestCase() {
        for (const QString key : {"ours", "other"})
            QVERIFY(
                runMinisign(m_keys.path(), {"-G", "-W", "-p", key + ".pub", "-s", key + ".key"}));
    }
    void init() {
        m_server = std::make_unique<HttpsTestServer>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_server->isRunning());
    }

    // One manifest for both kinds of Mac, signed: each copy downloads and
    // verifies its own image; a failed signature is named.
    void written_data() {
        columns<platform::RunningCopy, QString, QString>("copy", "signer", "line");
        using platform::RunningCopy;
        QTest::newRow("Intel") << RunningCopy::x86_64 << "ours"
                               << "offers 2.1 (x86_64 image), image verified (70000 bytes)";
        QTest::newRow("translated") << RunningCopy::translated << "ours"
                                    << "offers 2.1 (arm64 image), image verified (90000 bytes)";
        QTest::newRow("another key") << RunningCopy::arm64 << "other"
                                     << "Invalid update signature (signed by another key)";
    }
    void written() {
        auto [copy, signer, line] =
            fetch<platform::RunningCopy, QString, QString>("copy", "signer", "line");
        publish(release::makeManifest({.imagePath = writeImage(70'000, "intel.dmg"),
                                       .version = "2.1",
                                       .url = m_server->url("/intel.dmg"),
                                       .arm64ImagePath = writeImage(90'000, "arm.dmg"),
                                       .arm64Url = m_server->url("/arm.dmg"),
                                       .expires = QDateTime::currentDateTimeUtc().addDays(90)},
                                      server()),
                signer);
        const release::CheckReport report = check(copy, true);
        QCOMPARE(report.line, line);
        QCOMPARE(report.offered, line.startsWith("offers"));
    }

    // The command: one line on standard error and status 1 for a refusal,
    // nothing written; the manifest in the file it names, with the macOS the
    // image's application needs (opened with the build's stand-in hdiutil).
    void command() {
        const QString image = m_dir->filePath("a.dmg");
        QVERIFY(makeUpdateImage(image,
                                {.marker = QString(70'000, 'p'), .minimumSystemVersion = "12.0"}));
        const QString output = m_dir->filePath("m.json");
        QProcess tool;
        for (const QString& host : {QString("evil.example"), updateHost()}) {
            tool.start(RELEASE_TOOL, {"manifest", image, "--version", "2.1", "--url",
                                      "https://" + host + "/a.dmg", "--output", output});
            QVERIFY(tool.waitForFinished(30000));
            QCOMPARE(tool.exitCode(), host == "evil.example" ? 1 : 0);
            QCOMPARE(tool.readAllStandardError().count('\n'), host == "evil.example" ? 1 : 0);
            QCOMPARE(QFile::exists(output), host != "evil.example");
        }
        QFile written(output);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(
            QJsonDocument::fromJson(written.readAll())["mac_minimum_system_version"].toString(),
            "12.0");
        // Release notes from a file, as the prompt shows them: at most 16 KiB.
        for (const qsizetype size : {16 * 1024, 16 * 1024 + 1}) {
            const QByteArray notes = "# What's new\n" + QByteArray(size - 13, 'n');
            QVERIFY(TestBundle::writeFile(m_dir->filePath("notes.md"), notes, 0644));
            QFile::remove(output);
            tool.start(RELEASE_TOOL, {"manifest", image, "--version", "2.1", "--url",
                                      "https://" + updateHost() + "/a.dmg", "--release-notes",
                                      m_dir->filePath("notes.md"), "--output", output});
            QVERIFY(tool.waitForFinished(30000));
            const bool fits = size <= 16 * 1024;
            QCOMPARE(tool.exitCode(), fits ? 0 : 1);
            QCOMPARE(tool.readAllStandardError().count('\n'), fits ? 0 : 1);
            QFile again(output);
            QCOMPARE(again.open(QIODevice::ReadOnly) &&
                         QJsonDocument::fromJson(again.readAll())["releaseNotes"].toString() ==
                             QString::fromUtf8(notes),
                     fits);
        }
    }

    // A patch made for another build is refused, and so is a bundle whose
    // modes clients refuse (what the manifest says of a good patch, the smoke
    // run's copy downloads and applies).
    void deltaCommand() {
        const auto path = [&](const QString& name) { return m_dir->filePath(name); };
        QVERIFY(makeApp(path("old/") + veldra::platform::kBundleFileName,
                        {.version = "2.0", .marker = "old"}));
        for (const QString build : {"new", "other"})
            QVERIFY(makeApp(path(build + '/') + veldra::platform::kBundleFileName,
                            {.marker = QString(70'000, build[0])}));
        QCOMPARE(QProcess::execute("tar", {"-cf", path("a.dmg"), "-C", path("new"), "."}), 0);
        const QString server = "https://" + updateHost() + '/';
        QProcess tool;
        for (const QString build : {"other", "new"}) {
            tool.start(RELEASE_TOOL,
                       {"delta", "--from", path("old/") + veldra::platform::kBundleFileName, "--to",
                        path(build + '/') + veldra::platform::kBundleFileName, "--output",
                        path("p")});
            QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
            tool.start(RELEASE_TOOL, {"manifest", path("a.dmg"), "--version", "2.1", "--url",
                                      server + "a.dmg", "--delta-from", "2.0", "--delta", path("p"),
                                      "--delta-url", server + "p", "--output", path("m.json")});
            QVERIFY(tool.waitForFinished(30000));
            QCOMPARE(tool.exitCode(), build == "other" ? 1 : 0);
        }
        // A bundle with a group-writable file makes a patch every client
        // refuses: said in one line, nothing written.
        QCOMPARE(
            QProcess::execute("chmod", {"g+w", path("new/") + veldra::platform::kBundleFileName +
                                                   "/Contents/Info.plist"}),
            0);
        tool.start(RELEASE_TOOL,
                   {"delta", "--from", path("old/") + veldra::platform::kBundleFileName, "--to",
                    path("new/") + veldra::platform::kBundleFileName, "--output", path("q")});
        QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 1 && !QFile::exists(path("q")));
        QVERIFY(tool.readAllStandardError().contains("Info.plist has mode 0664"));
    }

    // A required update's floor is a version no newer than the offer; a beta
    // goes beside the default entry of the manifest it extends, which stays.
    void requiredAndBeta() {
        const QString image = m_dir->filePath("a.dmg"), url = "https://" + updateHost() + "/a";
        QVERIFY(makeUpdateImage(image, {.marker = QString(70'000, 'r')}));
        QProcess tool;
        const auto run = [&](const QStringList& more) {
            tool.start(RELEASE_TOOL, QStringList{"manifest", image, "--url", url} + more);
            return tool.waitForFinished(30000) ? tool.exitCode() : -1;
        };
        QCOMPARE(run({"--version", "2.1", "--critical-below", "2.2"}), 1);
        QCOMPARE(tool.readAllStandardError().count('\n'), 1);
        QCOMPARE(run({"--version", "2.1", "--critical-below", "2.0.5", "--output",
                      m_dir->filePath("m.json")}),
                 0);
        QCOMPARE(run({"--version", "2.2", "--channel", "beta", "--extend",
                      m_dir->filePath("m.json"), "--output", m_dir->filePath("b.json")}),
                 0);
        QFile written(m_dir->filePath("b.json"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QJsonObject manifest = QJsonDocument::fromJson(written.readAll()).object();
        QCOMPARE(manifest["mac_version"].toString() + ' ' + manifest["critical_below"].toString() +
                     ' ' + manifest["channels"]["beta"]["mac_version"].toString(),
                 "2.1 2.0.5 2.2");
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
