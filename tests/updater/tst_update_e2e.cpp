// One whole update, end to end: the loopback HTTPS server offers a newer
// version; the running "application" accepts it, downloads, verifies, mounts
// and validates it, hands over to the install script and quits; the script
// replaces the bundle, starts the new one and leaves nothing behind.
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "platform/InfoPlist.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

class TestUpdateEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void wholeUpdate() {
        HttpsTestServer server;
        QVERIFY(server.isRunning());
        QTemporaryDir dir;
        const QString temp = dir.path() + "/tmp";
        const QString volumes = dir.path() + "/Volumes";
        const QString installed = dir.path() + "/Applications/Veldra Cloud Desktop.app";
        QDir().mkpath(temp);
        QDir().mkpath(volumes);
        AppSpec current;
        current.version = "2.0";
        current.marker = "old";
        QVERIFY(makeApp(installed, current));

        AppSpec next;
        next.version = "2.1";
        next.padding = 200'000;
        const QString image = server.root() + "/image.dmg";
        QVERIFY(makeUpdateImage(image, next));
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString digest = QString::fromLatin1(
            QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
        server.writeFile(
            "version.json",
            QJsonDocument(QJsonObject{{"mac_version", "2.1"},
                                      {"mac_x64_url", server.url("/VeldraCloudDesktop-2.1.dmg")},
                                      {"mac_x64_sha256", digest}})
                .toJson());
        server.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}},
                          {"/VeldraCloudDesktop-2.1.dmg", QJsonObject{{"file", "image.dmg"}}}});

        const QString log = dir.path() + "/tools.log";
        QProcess client;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("VELDRA_FAKE_LOG", log);
        env.insert("VELDRA_FAKE_VOLUMES", volumes);
        client.setProcessEnvironment(env);
        client.start(QStringLiteral(UPDATE_CLIENT),
                     {QString::number(server.port()), TestPki::instance().caPem, temp, installed});
        QVERIFY(client.waitForFinished(60000));
        const QString said = QString::fromUtf8(client.readAllStandardOutput());
        QVERIFY2(client.exitCode() == 0, qPrintable(said));
        QVERIFY2(said.contains(QString::fromUtf8("Installing and restarting…")), qPrintable(said));

        // The script takes over once the old process has gone.
        const auto tools = [&] {
            QFile f(log);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };
        QVERIFY2(waitUntil([&] { return tools().contains("open " + installed); }, 20000),
                 qPrintable(tools()));
        QCOMPARE(platform::infoPlistString(installed, "CFBundleShortVersionString").value_or(""),
                 "2.1");
        QTRY_VERIFY_WITH_TIMEOUT(QDir(temp).isEmpty() && QDir(volumes).isEmpty(), 5000);
        QCOMPARE(QDir(dir.path() + "/Applications")
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Veldra Cloud Desktop.app"});
        QVERIFY(tools().contains("codesign --verify --deep --strict "));
        QVERIFY(tools().contains("lipo "));
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "tst_update_e2e.moc"
