#include "TestBundle.h"
#include "platform/Bundle.h"
#include "platform/ChildProcess.h"
#include "platform/UserDirectories.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>

using namespace veldra::platform;
using namespace veldra::test;

namespace {

struct Ended {
    std::atomic<bool> done{false};
    ChildProcess::Termination termination;
};

std::shared_ptr<Ended> watch(ChildProcess& process) {
    auto ended = std::make_shared<Ended>();
    process.setTerminationHandler([ended](const ChildProcess::Termination& t) {
        ended->termination = t;
        ended->done = true;
    });
    return ended;
}

} // namespace

class TestChildProcess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exitStatusAndSignal_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("bySignal");
        QTest::newRow("exit 0") << "exit 0" << 0 << false;
        QTest::newRow("exit 131") << "exit 131" << 131 << false;
        QTest::newRow("SIGKILL") << "kill -KILL $$" << 9 << true;
        QTest::newRow("SIGTERM") << "kill -TERM $$" << 15 << true;
    }
    void exitStatusAndSignal() {
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(bool, bySignal);
        ChildProcess process("/bin/sh", {"-c", script});
        auto ended = watch(process);
        QVERIFY(!process.start());
        QTRY_VERIFY_WITH_TIMEOUT(ended->done.load(), 5000);
        QCOMPARE(ended->termination.status, status);
        QCOMPARE(ended->termination.reason == ChildProcess::TerminationReason::UncaughtSignal,
                 bySignal);
        QVERIFY(!process.isRunning());
    }

    void startFailureIsTheSystemsError() {
        ChildProcess process("/nonexistent/freerdp", {});
        const auto error = process.start();
        QVERIFY(error);
        QCOMPARE(error->code, ENOENT);
        QVERIFY(!error->message.isEmpty());
        QVERIFY(!process.isRunning());
    }

    void clientThatStoppedReadingCostsNothing() {
        // The child closes its input and says so; writing to it afterwards must
        // neither kill this process with SIGPIPE nor block.
        QTemporaryDir dir;
        const QString marker = dir.path() + "/closed";
        ChildProcess process("/bin/sh", {"-c", "exec 0<&-; : > \"$1\"; sleep 2", "sh", marker});
        auto ended = watch(process);
        QVERIFY(!process.start());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QVERIFY(!process.writeAndCloseInput(QByteArray("secret\n")));
        sigset_t pending;
        sigpending(&pending);
        QVERIFY(!sigismember(&pending, SIGPIPE));
        QVERIFY(process.isRunning());
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(ended->done.load(), 5000);
    }

    void childInheritsNoIgnoredSigpipe() {
        // Even if this process ignores SIGPIPE, the client gets the default.
        auto* previous = std::signal(SIGPIPE, SIG_IGN);
        QTemporaryDir dir;
        const QString out = dir.path() + "/sigpipe";
        ChildProcess process("/bin/sh",
                             {"-c", "grep SigIgn /proc/self/status > \"$1\"", "sh", out});
        auto ended = watch(process);
        QVERIFY(!process.start());
        std::signal(SIGPIPE, previous);
        QTRY_VERIFY_WITH_TIMEOUT(ended->done.load(), 5000);
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const quint64 ignored =
            file.readAll().split('\t').last().trimmed().toULongLong(nullptr, 16);
        QCOMPARE(ignored & (1ull << (SIGPIPE - 1)), 0ull);
    }

    void outputGoesWhereToldOrNowhere() {
        QTemporaryDir dir;
        QFile log(dir.path() + "/log");
        QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Append));
        ChildProcess process("/bin/sh", {"-c", "echo out; echo err >&2; cat"});
        process.setStandardOutput(ChildProcess::Redirect::descriptor(log.handle()));
        process.setStandardError(ChildProcess::Redirect::descriptor(log.handle()));
        auto ended = watch(process);
        QVERIFY(!process.start());
        QVERIFY(process.writeAndCloseInput("from stdin\n"));
        QTRY_VERIFY_WITH_TIMEOUT(ended->done.load(), 5000);
        log.close();
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), QByteArray("out\nerr\nfrom stdin\n"));

        ChildProcess silent("/bin/sh", {"-c", "echo nowhere; echo nowhere >&2"});
        auto silentEnded = watch(silent);
        QVERIFY(!silent.start());
        QTRY_VERIFY_WITH_TIMEOUT(silentEnded->done.load(), 5000);
        QCOMPARE(silentEnded->termination.status, 0);
    }

    void destroyingTheObjectLeavesTheChildRunning() {
        qint64 pid = 0;
        {
            ChildProcess process("/bin/sleep", {"30"});
            QVERIFY(!process.start());
            pid = process.processId();
        }
        QTest::qWait(100);
        QVERIFY(pidAlive(pid));
        killPid(pid);
    }

    void bundlePath_data() {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("bundle");
        QTest::newRow("inside a bundle") << "/Applications/Veldra Cloud Desktop.app/Contents/MacOS"
                                         << "/Applications/Veldra Cloud Desktop.app";
        QTest::newRow("trailing slash") << "/x/A.app/Contents/MacOS/"
                                        << "/x/A.app";
        QTest::newRow("bare build folder") << "/home/u/build/bin"
                                           << "/home/u/build/bin";
        QTest::newRow("MacOS outside an .app") << "/x/Contents/MacOS"
                                               << "/x/Contents/MacOS";
    }
    void bundlePath() {
        QFETCH(QString, dir);
        QFETCH(QString, bundle);
        QCOMPARE(bundlePathForExecutableDir(dir), bundle);
    }

    void libraryFollowsXdgState() {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", "/var/tmp/state");
        QCOMPARE(userLibraryDirectory(), "/var/tmp/state");
        qputenv("XDG_STATE_HOME", "relative/ignored");
        QCOMPARE(userLibraryDirectory(), QDir::homePath() + "/.local/state");
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(userLibraryDirectory(), QDir::homePath() + "/.local/state");
        if (!saved.isNull())
            qputenv("XDG_STATE_HOME", saved);
    }
};

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_childprocess.moc"
