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
        const InstallSandbox box;
        QVERIFY(box.isReady());

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

        QProcess client; // inherits the sandbox's environment
        client.start(
            QStringLiteral(UPDATE_CLIENT),
            {QString::number(server.port()), TestPki::instance().caPem, box.temp, box.installed});
        QVERIFY(client.waitForFinished(60000));
        const QString said = QString::fromUtf8(client.readAllStandardOutput());
        QVERIFY2(client.exitCode() == 0, qPrintable(said));
        QVERIFY2(said.contains(QString::fromUtf8("Installing and restarting…")), qPrintable(said));

        // The script takes over once the old process has gone.
        QTRY_VERIFY_WITH_TIMEOUT(box.toolLog().contains("open " + box.installed), 20000);
        QCOMPARE(
            platform::infoPlistString(box.installed, "CFBundleShortVersionString").value_or(""),
            "2.1");
        QTRY_VERIFY_WITH_TIMEOUT(box.tempFiles().isEmpty() && box.mountedVolumes().isEmpty(), 5000);
        QCOMPARE(box.applications(), QStringList{"Veldra Cloud Desktop.app"});
        const QString tools = box.toolLog().join('\n');
        QVERIFY(tools.contains("codesign --verify --deep --strict "));
        QVERIFY(tools.contains("lipo "));
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "tst_update_e2e.moc"
