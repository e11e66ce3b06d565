// Signed manifests against the loopback HTTPS server, signed by the real
// minisign with keys made for this run.
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "updater/MacUpdater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

class TestSignedManifest : public QObject {
    Q_OBJECT

    QTemporaryDir m_keys;
    std::unique_ptr<HttpsTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_temp;
    QStringList m_installed;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(runMinisign(m_keys.path(), {"-G", "-W", "-p", "ours.pub", "-s", "ours.key"}),
                 "minisign could not make a key");
        QVERIFY(runMinisign(m_keys.path(), {"-G", "-W", "-p", "other.pub", "-s", "other.key"}));
    }
    void init() {
        m_server = std::make_unique<HttpsTestServer>();
        m_temp = std::make_unique<QTemporaryDir>();
        m_installed.clear();
        QVERIFY(m_server->isRunning());
    }

    // Every way a manifest can fail its signature ends the check the same way,
    // before anything of the image is asked for.
    void check_data() {
        QTest::addColumn<QString>("expires"); // "" : none
        QTest::addColumn<QString>("signer");  // "ours", "other", "" : no .minisig
        QTest::addColumn<QString>("tamper");  // "manifest", "comment", ""
        QTest::addColumn<bool>("keyed");
        QTest::addColumn<bool>("offered");
        // Another key, an altered manifest and a past expiry are judged by the
        // same function tst_release runs row by row; these rows are the
        // updater's own path.
        const auto row = [](const char* name, const char* expires, const char* signer,
                            const char* tamper, bool keyed, bool offered) {
            QTest::newRow(name) << QString(expires) << QString(signer) << QString(tamper) << keyed
                                << offered;
        };
        const char* future = "2099-01-01T00:00:00Z";
        row("signed, unexpired", future, "ours", "", true, true);
        row("trusted comment changed", future, "ours", "comment", true, false);
        row("no signature", future, "", "", true, false);
        row("no expiry", "", "ours", "", true, false);
        row("unreadable expiry", "next spring", "ours", "", true, false);
        row("an unkeyed build asks for no signature", "", "", "", false, true);
    }
    void check() {
        QFETCH(QString, expires);
        QFETCH(QString, signer);
        QFETCH(QString, tamper);
        QFETCH(bool, keyed);
        QFETCH(bool, offered);

        const QByteArray image = imageBytes(70'000);
        m_server->writeFile("image.dmg", image);
        QJsonObject manifest{
            {"mac_version", "3.0.0"},
            {"mac_x64_url", m_server->url("/image.dmg")},
            {"mac_x64_sha256",
             QString::fromLatin1(
                 QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex())}};
        if (!expires.isEmpty())
            manifest.insert("expires", expires);
        const QString file = m_server->root() + "/version.json";
        m_server->writeFile("version.json", QJsonDocument(manifest).toJson());
        QJsonObject routes{{"/version.json", QJsonObject{{"file", "version.json"}}},
                           {"/image.dmg", QJsonObject{{"file", "image.dmg"}}}};
        if (!signer.isEmpty()) {
            QVERIFY(runMinisign(m_keys.path(), {"-S", "-s", signer + ".key", "-m", file, "-x",
                                                file + ".minisig", "-t", "Veldra 3.0.0"}));
            routes.insert("/version.json.minisig", QJsonObject{{"file", "version.json.minisig"}});
        }
        if (tamper == "comment") {
            QFile edit(file + ".minisig");
            QVERIFY(edit.open(QIODevice::ReadWrite));
            QByteArray bytes = edit.readAll();
            bytes.replace("Veldra 3.0.0", "Veldra 9.9.9");
            edit.seek(0);
            edit.write(bytes);
        }
        m_server->setRoutes(routes);

        MacUpdater::Configuration config{
            .server = {"localhost", m_server->port()},
            .trustedCas = TestPki::instance().ca(),
            .temporaryDirectory = m_temp->path(),
            .currentVersion = [] { return QStringLiteral("2.0.0"); },
            .isSessionRunning = [] { return false; },
            .installUpdate =
                [this](const QString& path, const QString& version, platform::Architecture) {
                    QMetaObject::invokeMethod(this, [this, version] { m_installed << version; });
                    QFile::remove(path);
                    return std::optional<UpdateFailure>();
                },
            .publicKey = keyed ? minisignPublicKey(m_keys.filePath("ours.pub")) : std::nullopt,
        };
        config.timings.firstCheck = 3'600'000ms;
        MacUpdater updater(std::move(config), std::make_unique<QNetworkAccessManager>());
        bool done = false;
        updater.checkForUpdates(true, [&](bool) { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
        const QStringList requests = m_server->requests();
        QCOMPARE(requests.filter(".minisig").size(), keyed ? 1 : 0);
        if (!offered) {
            QCOMPARE(updater.statusMessage(), "Invalid update signature");
            QVERIFY(!updater.hasUpdate());
            updater.startDownload();
            QTest::qWait(200);
            QCOMPARE(m_server->requests().filter("/image.dmg").size(), 0);
            QCOMPARE(QDir(m_temp->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            return;
        }
        QCOMPARE(updater.latestVersion(), "3.0.0");
        updater.startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(m_installed, QStringList{"3.0.0"}, 15000);
    }

    void publicKeyParsing() {
        QVERIFY(minisignPublicKey(m_keys.filePath("ours.pub")));
        QVERIFY(!parseMinisignPublicKey("RWQnot-a-key"));
        QVERIFY(!parseMinisignPublicKey(QString(56, 'A'))); // not "Ed"
    }
};

QTEST_GUILESS_MAIN(TestSignedManifest)
#include "tst_signedmanifest.moc"
