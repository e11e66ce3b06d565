#include "TestBundle.h"

#include <QProcess>
#include <QTest>

using namespace veldra::test;

// The production wiring, end to end: the launcher's shared instance finds the
// client in the bundle the executable runs from, logs under the user's state
// directory, and an open session survives the application quitting.
class TestSessionOutlivesApp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void clientKeepsRunningAfterQuit() {
        TestBundle bundle;
        bundle.addScript("freerdp", "exec sleep 30\n");
        const QString app = bundle.macOSDir() + "/VeldraCloudDesktop";
        QVERIFY(QFile::copy(QStringLiteral(LAUNCH_AND_QUIT), app));

        QProcess process;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", bundle.scratch() + "/state");
        process.setProcessEnvironment(env);
        process.start(app, {});
        QVERIFY(process.waitForFinished(20000));
        const QByteArray out = process.readAllStandardOutput().trimmed();
        QCOMPARE(process.exitCode(), 0);
        const qint64 pid = out.toLongLong();
        QVERIFY2(pid > 0, out.constData());

        QTest::qWait(200);
        const bool alive = pidAlive(pid);
        killPid(pid);
        QVERIFY2(alive, "the client died with the application");

        QFile log(bundle.scratch() + "/state/Logs/Veldra Cloud Desktop/freerdp.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("] Starting FreeRDP: /v:"));
        QCOMPARE(log.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    }
};

QTEST_GUILESS_MAIN(TestSessionOutlivesApp)
#include "tst_sessionoutlivesapp.moc"
