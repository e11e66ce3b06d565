// Child processes: the client's (ChildProcess) and the install tools' (runTool).
#include "TestBundle.h"
#include "platform/ChildProcess.h"
#include "updater/installing/ToolRunner.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>

using namespace veldra;
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
    // A client that closed its input costs nothing: no SIGPIPE, no block.
    void clientThatStoppedReading() {
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
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(ended->done.load(), 5000);
    }

    // The session outlives the object, as it outlives the application.
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

    void toolArgumentsAndOutput() {
        // Arguments arrive unchanged; output far beyond a pipe's 64 KiB is read whole.
        const QStringList awkward{"/Volumes/V D/x.app", "it's", "\"q\"", "b\\s", "$HOME `x`", ""};
        auto run = runTool({"/bin/sh",
                            QStringList{"-c",
                                        "printf '%s\\0' \"$@\"; head -c 3000000 /dev/zero; "
                                        "exit 4",
                                        "sh"} +
                                awkward,
                            ToolOutput::captured});
        const ToolResult result = std::get<ToolResult>(run);
        QCOMPARE(result.status, 4);
        QCOMPARE(result.output.size(), awkward.join('\0').size() + 1 + 3'000'000);
        QVERIFY(result.output.startsWith(awkward.join('\0').toUtf8() + '\0'));
        auto missing = runTool({"/nonexistent/hdiutil", {"attach"}, ToolOutput::captured});
        QCOMPARE(std::get<SystemError>(missing).code, ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_childprocess.moc"
