#include "TestBundle.h"
#include "updater/ToolRunner.h"
#include "updater/UpdaterError.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace veldra;

namespace {

ToolResult run(const ToolInvocation& invocation) {
    auto result = runTool(invocation);
    if (auto* error = std::get_if<platform::SystemError>(&result))
        qFatal("could not start %s: %s", qPrintable(invocation.executable),
               qPrintable(error->message));
    return std::get<ToolResult>(result);
}

// Zombie children of this process, from /proc.
int zombieChildren() {
    int zombies = 0;
    const QByteArray self = QByteArray::number(::getpid());
    QDirIterator it("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        QFile stat(it.next() + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self)
            ++zombies;
    }
    return zombies;
}

// Runs `body` with this process's stdout and stderr going to a file; its content.
QByteArray captureOwnStreams(const std::function<void()>& body) {
    QTemporaryDir dir;
    QFile file(dir.path() + "/streams");
    if (!file.open(QIODevice::ReadWrite))
        return "cannot capture";
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(1), savedErr = ::dup(2);
    ::dup2(file.handle(), 1);
    ::dup2(file.handle(), 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    file.seek(0);
    return file.readAll();
}

} // namespace

class TestToolRunner : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void argumentsArriveUnchanged() {
        const QStringList awkward{"/Volumes/Veldra Cloud Desktop/x.app",
                                  "it's",
                                  "\"quoted\"",
                                  "back\\slash",
                                  "$HOME `x`",
                                  ""};
        ToolInvocation call{"/bin/sh", QStringList{"-c", "printf '%s\\0' \"$@\"", "sh"} + awkward,
                            ToolOutput::captured};
        const ToolResult result = run(call);
        QCOMPARE(result.status, 0);
        QByteArray expected;
        for (const QString& a : awkward)
            expected += a.toUtf8() + '\0';
        QCOMPARE(result.output, expected);
    }

    void largeOutputIsReadCompletely() {
        // Far beyond a pipe's 64 KiB: must neither stall nor lose bytes.
        const ToolResult result = run({"/bin/sh",
                                       {"-c", "head -c 3000000 /dev/zero | tr '\\0' x; exit 4"},
                                       ToolOutput::captured});
        QCOMPARE(result.status, 4);
        QCOMPARE(result.output.size(), 3000000);
        QCOMPARE(result.output.count('x'), 3000000);
    }

    void missingToolIsThePlatformsError() {
        auto result = runTool({"/nonexistent/usr/bin/hdiutil", {"attach"}, ToolOutput::captured});
        const auto* error = std::get_if<platform::SystemError>(&result);
        QVERIFY(error);
        QCOMPARE(error->code, ENOENT);
        QCOMPARE(describe(*error), QString::fromLocal8Bit(std::strerror(ENOENT)));
    }

    void relativePathIsRefused() {
        auto result = runTool({"sh", {"-c", "exit 0"}});
        QVERIFY(std::holds_alternative<platform::SystemError>(result));
    }

    void discardedAndInheritedStreams() {
        const QStringList chatter{"-c", "echo to-stdout; echo to-stderr >&2"};
        const QByteArray quiet = captureOwnStreams([&] {
            run({"/bin/sh", chatter, ToolOutput::discarded, ToolErrors::discarded});
        });
        QCOMPARE(quiet, QByteArray());
        const QByteArray loud = captureOwnStreams([&] {
            run({"/bin/sh", chatter, ToolOutput::inherited, ToolErrors::inherited});
        });
        QCOMPARE(loud, QByteArray("to-stdout\nto-stderr\n"));
    }

    void unwaitedToolRunsOnAndLeavesNoZombie() {
        QTemporaryDir dir;
        const QString marker = dir.path() + "/done";
        QElapsedTimer timer;
        timer.start();
        const ToolResult result = run({"/bin/sh",
                                       {"-c", "sleep 0.5; : > \"$1\"", "sh", marker},
                                       ToolOutput::inherited,
                                       ToolErrors::inherited,
                                       false});
        QVERIFY(timer.elapsed() < 400);
        QCOMPARE(result.status, 0);
        QVERIFY(!QFile::exists(marker));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(zombieChildren() == 0, 2000);
    }
};

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
