// The generated install script, run by real zsh against a temporary install
// place. Only the absolute paths of the macOS tools differ from production.
#include "TestBundle.h"
#include "UpdateImage.h"
#include "updater/Installer.h"
#include "updater/Sha256.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace veldra;
using namespace veldra::test;

namespace {

// Folder names every quoting layer has to get right.
const QString kAwkward = "Apps with 'single' \"double\" back\\slash";

QString marker(const QString& app) {
    QFile file(app + "/Contents/Resources.marker");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

qint64 deadPid() {
    QProcess done;
    done.start("/bin/true", {});
    done.waitForFinished();
    return done.processId() > 0 ? done.processId() : 999999;
}

} // namespace

class TestInstallScript : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_parent, m_target, m_mount, m_source, m_image, m_script, m_log;

    void writeScript(const SystemTools& tools) {
        QVERIFY(TestBundle::writeFile(m_script, installScriptText(tools).toUtf8(), 0700));
    }
    QStringList arguments(qint64 oldPid) const {
        return {m_source, m_target, m_mount, QString::number(oldPid), m_image};
    }
    QStringList hidden() const {
        return QDir(m_parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    bool cleanedUp() const {
        return !QFileInfo::exists(m_image) && !QFileInfo::exists(m_script) &&
               !QFileInfo::exists(m_mount);
    }
    QStringList log() const {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_parent = m_dir->path() + "/" + kAwkward;
        m_target = m_parent + "/Veldra Cloud Desktop.app";
        m_mount = m_dir->path() + "/Volume " + kAwkward;
        m_source = m_mount + "/Veldra Cloud Desktop.app";
        m_image = m_dir->path() + "/VeldraCloudDesktop-" + kAwkward + ".dmg";
        m_script = m_dir->path() + "/veldra-install-" + kAwkward + ".zsh";
        m_log = m_dir->path() + "/tools.log";
        qputenv("VELDRA_FAKE_LOG", QFile::encodeName(m_log));
        qunsetenv("VELDRA_FAKE_OSASCRIPT");
        QDir().mkpath(m_parent);
        AppSpec fresh;
        fresh.marker = "new";
        QVERIFY(makeApp(m_source, fresh));
        QVERIFY(TestBundle::writeFile(m_image, "image", 0600));
    }

    void outcomes_data() {
        QTest::addColumn<bool>("installed");    // an old copy is there first
        QTest::addColumn<bool>("refuseRename"); // the final rename fails
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("result"); // marker at the target afterwards
        QTest::newRow("swap, backup removed") << true << false << 0 << "new";
        QTest::newRow("first install") << false << false << 0 << "new";
        QTest::newRow("failed rename restores the backup") << true << true << 1 << "old";
    }
    void outcomes() {
        QFETCH(bool, installed);
        QFETCH(bool, refuseRename);
        QFETCH(int, exitCode);
        QFETCH(QString, result);
        if (installed) {
            AppSpec old;
            old.marker = "old";
            QVERIFY(makeApp(m_target, old));
        }
        SystemTools tools = fakeTools();
        if (refuseRename)
            tools.mv = fakesDir() + "/mv-refusing-staged";
        writeScript(tools);
        QProcess zsh;
        zsh.start("/usr/bin/zsh", QStringList{m_script} + arguments(deadPid()));
        QVERIFY(zsh.waitForFinished(30000));
        QCOMPARE(zsh.exitCode(), exitCode);
        QCOMPARE(marker(m_target), result);
        QVERIFY(cleanedUp());
        QCOMPARE(log().contains("open " + m_target), exitCode == 0);
        const QStringList left = hidden();
        if (exitCode == 0)
            QCOMPARE(left, QStringList{"Veldra Cloud Desktop.app"});
        else
            QVERIFY(left.filter(".Veldra Cloud Desktop.previous.").isEmpty());
    }

    void leftoverPathStopsIt_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("staging path") << "new";
        QTest::newRow("backup path") << "previous";
    }
    void leftoverPathStopsIt() {
        QFETCH(QString, kind);
        AppSpec old;
        old.marker = "old";
        QVERIFY(makeApp(m_target, old));
        writeScript(fakeTools());
        // The script waits for this process; meanwhile the collision appears.
        QProcess oldApp;
        oldApp.start("/bin/sleep", {"30"});
        QVERIFY(oldApp.waitForStarted());
        QProcess zsh;
        zsh.start("/usr/bin/zsh", QStringList{m_script} + arguments(oldApp.processId()));
        QVERIFY(zsh.waitForStarted());
        const QString leftover =
            m_parent + "/.Veldra Cloud Desktop." + kind + "." + QString::number(zsh.processId());
        QVERIFY(QDir().mkpath(leftover));
        TestBundle::writeFile(leftover + "/keep", "mine", 0644);
        oldApp.kill();
        oldApp.waitForFinished();
        QVERIFY(zsh.waitForFinished(30000));
        QCOMPARE(zsh.exitCode(), 1);
        QCOMPARE(marker(m_target), "old");
        QVERIFY(QFileInfo::exists(leftover + "/keep"));
        QVERIFY(cleanedUp());
        QVERIFY(!log().contains("open " + m_target));
    }

    void oldProcessThatStaysStopsIt() {
        AppSpec old;
        old.marker = "old";
        QVERIFY(makeApp(m_target, old));
        writeScript(fakeTools());
        QProcess oldApp;
        oldApp.start("/bin/sleep", {"60"});
        QVERIFY(oldApp.waitForStarted());
        QElapsedTimer timer;
        timer.start();
        QProcess zsh;
        zsh.start("/usr/bin/zsh", QStringList{m_script} + arguments(oldApp.processId()));
        QVERIFY(zsh.waitForFinished(40000));
        const qint64 waited = timer.elapsed();
        oldApp.kill();
        oldApp.waitForFinished();
        QCOMPARE(zsh.exitCode(), 1);
        QVERIFY2(waited >= 14000 && waited < 25000, qPrintable(QString::number(waited)));
        QCOMPARE(marker(m_target), "old");
        QCOMPARE(hidden(), QStringList{"Veldra Cloud Desktop.app"});
        QVERIFY(cleanedUp());
    }

    // The administrator command runs as root a script that lies in the user's
    // temporary folder: only the bytes the application wrote may ever run.
    void administratorPath_data() {
        QTest::addColumn<bool>("tampered");
        QTest::newRow("as written, awkward paths") << false;
        QTest::newRow("rewritten before approval") << true;
    }
    void administratorPath() {
        QFETCH(bool, tampered);
        AppSpec old;
        old.marker = "old";
        QVERIFY(makeApp(m_target, old));
        const SystemTools tools = fakeTools();
        writeScript(tools);
        const WrittenScript written{m_script, sha256HexOfBytes(installScriptText(tools).toUtf8())};
        const QString evidence = m_dir->path() + "/ran-as-root";
        if (tampered) {
            QFile file(m_script);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("#!/bin/zsh\ntouch '" + evidence.toUtf8() + "'\n");
        }
        const QString statement =
            administratorStatement(administratorCommand(tools, written, arguments(deadPid())));
        QProcess osascript;
        osascript.start(fakesDir() + "/osascript", {"-e", statement});
        QVERIFY(osascript.waitForFinished(10000));
        if (tampered) {
            QVERIFY(osascript.exitCode() != 0); // fails like a refused approval
            QTest::qWait(500);
            QVERIFY(!QFileInfo::exists(evidence));
            QCOMPARE(marker(m_target), "old");
            return;
        }
        QCOMPARE(osascript.exitCode(), 0); // returns once the script runs in the background
        QVERIFY(
            waitUntil([&] { return log().contains("open " + m_target) && cleanedUp(); }, 20000));
        QCOMPARE(marker(m_target), "new");
        QVERIFY(log().contains("hdiutil detach " + m_mount));
    }
};

QTEST_GUILESS_MAIN(TestInstallScript)
#include "tst_installscript.moc"
