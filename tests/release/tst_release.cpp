// veldra-release: what it writes, the application accepts; a refusal is one line, status 1.
#include "HttpsTestServer.h"
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "release/Release.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

Q_DECLARE_METATYPE(veldra::platform::RunningCopy)

class TestRelease : public QObject {
    Q_OBJECT

    QTemporaryDir m_keys, m_dir;
    HttpsTestServer m_server;
    QByteArray m_said; // by the release command, on standard error

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString writeImage(qsizetype size, const QString& name) const {
        const QByteArray bytes = imageBytes(size);
        m_server.writeFile(name, bytes);
        TestBundle::writeFile(path(name), bytes, 0644);
        return path(name);
    }
    int release(const QStringList& arguments) {
        QProcess tool;
        tool.start(RELEASE_TOOL, arguments);
        tool.waitForFinished(30000);
        m_said = tool.readAllStandardError();
        return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    }
    QString keyId(const QString& key) const { return minisignKeyId(m_keys.filePath(key + ".pub")); }
    static QString fileText(const QString& name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private Q_SLOTS:
    void initTestCase() {
        for (const QString key : {"ours", "other"})
            QVERIFY(
                runMinisign(m_keys.path(), {"-G", "-W", "-p", key + ".pub", "-s", key + ".key"}));
        QJsonObject routes;
        for (const QString file : {"version.json", "version.json.minisig", "intel.dmg", "arm.dmg"})
            routes['/' + file] = QJsonObject{{"file", file}};
        m_server.setRoutes(routes);
    }

    // One signed manifest for both kinds of Mac: each copy verifies its own image; the signer
    // named, a near expiry said.
    void written_data() {
        using platform::RunningCopy;
        columns<RunningCopy, QString, int, QString>("copy", "signer", "days", "line");
        row("Intel", RunningCopy::x86_64, "ours", 90,
            "offers 2.1 (x86_64 image), image verified (70000 bytes)");
        row("translated", RunningCopy::translated, "ours", 13,
            "offers 2.1 (arm64 image), image verified (90000 bytes)");
        row("another key", RunningCopy::arm64, "other", 90,
            "Invalid update signature (signed by key KEY, which this build does not pin)");
    }
    void written() {
        auto [copy, signer, days, line] =
            fetch<platform::RunningCopy, QString, int, QString>("copy", "signer", "days", "line");
        const UpdateServer server{"localhost", m_server.port()};
        const auto made =
            release::makeManifest({.imagePath = writeImage(70'000, "intel.dmg"),
                                   .version = "2.1",
                                   .url = m_server.url("/intel.dmg"),
                                   .arm64ImagePath = writeImage(90'000, "arm.dmg"),
                                   .arm64Url = m_server.url("/arm.dmg"),
                                   .expires = QDateTime::currentDateTimeUtc().addDays(days)},
                                  server);
        QVERIFY(std::holds_alternative<QByteArray>(made));
        m_server.writeFile("version.json", std::get<QByteArray>(made));
        QVERIFY(runMinisign(
            m_keys.path(), {"-S", "-s", signer + ".key", "-m", m_server.root() + "/version.json"}));
        const release::CheckReport report = release::checkPublished(
            {.manifestUrl = QUrl(m_server.url("/version.json")),
             .currentVersion = "2.0",
             .downloadImage = true,
             .publicKeys = {*minisignPublicKey(m_keys.filePath("ours.pub"))},
             .copy = copy},
            server, TestPki::instance().ca(), m_dir.path());
        QCOMPARE(report.offered, line.startsWith("offers"));
        QCOMPARE(report.line, line.replace("KEY", keyId(signer)));
        QCOMPARE(report.signatureLine.section(',', 0, 0),
                 report.offered ? "signed by key " + keyId(signer) : "");
        QCOMPARE(report.warningLine.isEmpty(), days >= 14);
    }

    // Refused: a URL off the build's update host, notes over the 16 KiB the prompt shows, a
    // floor newer than the offer, an application copies would not install (another version,
    // identifier, no signature, no arm64 code), a revocation of no key id. Written: the image's
    // minimum macOS (through the stand-in hdiutil), the notes, the floor, the revocation, and a
    // beta beside the default entry, which stays; renewed: only "expires" moved.
    void command() {
        const QString marker(70'000, 'p');
        QVERIFY(makeUpdateImage(path("a.dmg"), {.marker = marker, .minimumSystemVersion = "12.0"}));
        QVERIFY(makeUpdateImage(
            path("b.dmg"), {.version = "2.2", .architectures = "x86_64 arm64", .marker = marker}));
        QVERIFY(makeUpdateImage(path("c.dmg"), {.bundleId = "com.example.c", .marker = marker}));
        QVERIFY(makeUpdateImage(path("d.dmg"), {.seal = "", .marker = marker}));
        const QByteArray notes = "# What's new\n" + QByteArray(16 * 1024 - 13, 'n');
        QVERIFY(TestBundle::writeFile(path("notes.md"), notes, 0644));
        QVERIFY(TestBundle::writeFile(path("long.md"), notes + 'n', 0644));
        const UpdateServer server = UpdateServer::production();
        const QString ours = "https://" + server.host +
                             (server.port == 443 ? "" : ':' + QString::number(server.port));
        // The image, then its options: 2.1 unless given.
        const auto manifest = [&](const QString& image, const QStringList& more) {
            return release(QStringList{"manifest", path(image), "--url", ours + "/i.dmg",
                                       "--version", "2.1", "--output", path("m.json")} +
                           more);
        };
        for (const auto& [image, more] :
             {std::pair{QString("a.dmg"), QStringList{"--url", "https://evil.example/a"}},
              {"a.dmg", {"--release-notes", path("long.md")}},
              {"a.dmg", {"--critical-below", "2.2"}},
              {"a.dmg", {"--version", "2.1.0"}},
              {"c.dmg", {}},
              {"d.dmg", {}},
              {"a.dmg", {"--arm64-image", path("a.dmg"), "--arm64-url", ours + "/a"}},
              {"a.dmg", {"--revoke", keyId("ours") + '0'}}}) {
            QCOMPARE(manifest(image, more), 1);
            QVERIFY2(m_said.count('\n') == 1 && !QFile::exists(path("m.json")), m_said.constData());
        }
        QCOMPARE(manifest("a.dmg", {"--release-notes", path("notes.md"), "--critical-below",
                                    "2.0.5", "--revoke", keyId("ours").toLower()}),
                 0);
        QCOMPARE(release({"manifest", "--universal", path("b.dmg"), "--url", ours + "/b.dmg",
                          "--version", "2.2", "--channel", "beta", "--extend", path("m.json"),
                          "--output", path("b.json")}),
                 0);
        const QJsonObject made =
            QJsonDocument::fromJson(fileText(path("b.json")).toUtf8()).object();
        QCOMPARE(made["releaseNotes"].toString(), QString::fromUtf8(notes));
        QCOMPARE(made["mac_minimum_system_version"].toString() + ' ' +
                     made["mac_version"].toString() + ' ' + made["critical_below"].toString() +
                     ' ' + made["channels"]["beta"]["mac_arm64_url"].toString() + ' ' +
                     made["revoked_keys"][0].toString(),
                 "12.0 2.1 2.0.5 " + ours + "/b.dmg " + keyId("ours"));
        QCOMPARE(
            release({"renew", path("b.json"), "--expires-in", "30", "--output", path("r.json")}),
            0);
        QString renewed = fileText(path("r.json"));
        const QString expires = QJsonDocument::fromJson(renewed.toUtf8())["expires"].toString();
        QCOMPARE(QDateTime::fromString(expires, Qt::ISODate).date(),
                 QDateTime::currentDateTimeUtc().addDays(30).date());
        QCOMPARE(renewed.replace(expires, made["expires"].toString()), fileText(path("b.json")));
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
