// The launcher with fake clients (TestBundle.h); its command line, log and child processes.
#include "Rows.h"
#include "TestBundle.h"
#include "launcher/ClientCommandLine.h"
#include "launcher/Credentials.h"
#include "launcher/RdpLauncher.h"
#include "updater/installing/ToolRunner.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

using namespace veldra;
using namespace veldra::test;
using namespace std::chrono_literals;

namespace {

struct Received {
    int calls = 0;
    std::optional<LaunchOutcome> outcome;
    qint64 atMs = -1;
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLauncher : public QObject {
    Q_OBJECT

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<RdpLauncher> m_launcher;
    bool m_downloading = false;
    QList<qint64> m_pids;

    QString evidence(const char* name) const { return m_bundle->scratch() + "/evidence/" + name; }
    QString logPath() const { return evidence("freerdp.log"); }

    void makeLauncher(std::chrono::milliseconds openedAfter) {
        m_launcher = std::make_unique<RdpLauncher>(
            RdpLauncher::Configuration{"rdp.test.example:3390", [this] { return m_bundle->path(); },
                                       [this] { return logPath(); }, [] { return std::nullopt; },
                                       [this] { return m_downloading; }, openedAfter});
    }
    std::shared_ptr<Received> connectNow(const QString& user, const QString& password) {
        auto received = std::make_shared<Received>();
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        m_launcher->connect(user, password, [received, clock](const LaunchOutcome& outcome) {
            ++received->calls;
            received->outcome = outcome;
            received->atMs = clock->elapsed();
        });
        return received;
    }
    // The running fake's PID, stopped at cleanup.
    qint64 clientPid() {
        qint64 pid = 0;
        waitUntil([&] { return (pid = readAll(evidence("pid")).trimmed().toLongLong()) > 0; },
                  5000);
        m_pids << pid;
        return pid;
    }

private Q_SLOTS:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        QDir().mkpath(evidence(""));
        qputenv("VELDRA_FAKE_DIR", QFile::encodeName(evidence("")));
        m_downloading = false;
        makeLauncher(1000ms);
    }
    void cleanup() {
        for (qint64 pid : std::exchange(m_pids, {}))
            killPid(pid);
        m_launcher.reset();
        m_bundle.reset();
    }

    // Refused before anything starts, in this order.
    void refusals_data() {
        columns<bool, QString, QString, QString>("downloading", "username", "password", "message");
        const char* badUser = "The username contains unsupported characters.";
        row("an update downloading", true, "", "", "Wait for the application update to finish.");
        row("username first", false, "", "", badUser);
        row("username with a tab", false, "al\tice", "pw", badUser);
        row("password ending in a line feed", false, "alice", "pw\n",
            "The password contains unsupported characters.");
    }
    void refusals() {
        auto [downloading, username, password, message] = fetch<bool, QString, QString, QString>(
            "downloading", "username", "password", "message");
        m_bundle->addScript("freerdp", fake::recorder);
        m_downloading = downloading;
        auto received = connectNow(username, password);
        QCOMPARE(received->calls, 1); // before connect returns
        QCOMPARE(received->outcome->errorDescription(), message);
        QVERIFY(!m_launcher->activeProcess());
        QTest::qWait(100);
        QVERIFY(!QFile::exists(evidence("argv")) && !QFile::exists(logPath()));
    }

    // Ended before the session counts as opened: a failure, with its status and last words.
    void earlyEndings_data() {
        columns<QByteArray, QString>("script", "description");
        row("exit 0", QByteArray(fake::exitsSilently),
            "FreeRDP could not connect (status 0). The client closed before the session opened.");
        row("exit 131", QByteArray(fake::exits131),
            "FreeRDP could not connect (status 131). ERRCONNECT_CONNECT_FAILED: the server "
            "refused");
        row("SIGKILL", QByteArray(fake::killedBySignal), "FreeRDP could not connect (status 9).");
        row("exit after 0.2 s", QByteArray("sleep 0.2; exit 2\n"),
            "FreeRDP could not connect (status 2).");
        row("missing", QByteArray(),
            "The bundled FreeRDP component is missing. Reinstall Veldra Cloud Desktop.");
    }
    void earlyEndings() {
        auto [script, description] = fetch<QByteArray, QString>("script", "description");
        if (!script.isEmpty())
            m_bundle->addScript("freerdp", script);
        auto received = connectNow("alice", "pw");
        QCOMPARE(received->calls, 0); // reported later, on the main thread
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
        QCOMPARE(received->outcome->errorDescription(), description);
        QTRY_VERIFY_WITH_TIMEOUT(!m_launcher->activeProcess(), 2000);
        QTest::qWait(1100); // the opened check adds no second outcome
        QCOMPARE(received->calls, 1);
    }

    // Opened after the real 3 s, even with no usable log; the session outlives the launcher.
    void runningClientOpensTheSession() {
        makeLauncher(RdpLauncher::kOpenedAfter);
        m_bundle->addScript("freerdp", fake::keepsRunning);
        QVERIFY(QDir().mkdir(logPath()));
        auto received = connectNow("alice", "pw");
        const qint64 pid = clientPid();
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 8000);
        QVERIFY(received->outcome->succeeded());
        QCOMPARE_GE(received->atMs, 3000);
        QVERIFY(m_launcher->isSessionRunning());
        auto second = connectNow("", "");
        QCOMPARE(second->calls, 1);
        QCOMPARE(second->outcome->errorDescription(),
                 "A remote desktop session is already running.");
        m_launcher.reset();
        QTest::qWait(100);
        QVERIFY(pidAlive(pid));
    }

    // The password only on standard input; user and domain redacted in the log.
    void passwordOnlyOnStandardInput() {
        // The environment as lines: plain env, as every macOS has it.
        m_bundle->addScript("freerdp", QByteArray(fake::recorder).replace("env -0", "env"));
        // What would send the client elsewhere for the password, or log it.
        qputenv("FREERDP_ASKPASS", "/tmp/askpass");
        qputenv("WLOG_LEVEL", "TRACE");
        const QString password = QString::fromUtf8("  Pässwörd 🎬 with spaces ");
        auto received = connectNow("  OTHER\\alice  ", password);
        qunsetenv("FREERDP_ASKPASS");
        qunsetenv("WLOG_LEVEL");
        clientPid();
        QCOMPARE(readAll(evidence("stdin")), password.toUtf8() + "\n");
        // The client's contract, in order; the password comes on standard input.
        QCOMPARE(readAll(evidence("argv")).split('\0').join('|'),
                 "/v:rdp.test.example:3390|/u:alice|/cert:tofu|/from-stdin:force|"
                 "/dynamic-resolution|+clipboard|/printer|/sound|/microphone|/network:auto|"
                 "+auto-reconnect|+decorations|-grab-keyboard|-grab-mouse|/t:Veldra Cloud Desktop|"
                 "/size:1240x736|/scale-desktop:100|/scale-device:100|/d:OTHER|");
        const QByteArray environment = '\n' + readAll(evidence("env"));
        QVERIFY(!environment.contains("\nFREERDP_") && !environment.contains("\nWLOG_"));
        QVERIFY(environment.contains("\nVELDRA_FAKE_DIR="));
        const QByteArray log = readAll(logPath());
        QVERIFY(log.contains("/u:<redacted> /cert:tofu") && log.contains("/d:<redacted>"));
        QVERIFY(!log.contains("alice") && !log.contains("OTHER"));
        QDirIterator files(m_bundle->scratch(), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) // nowhere on disk but where the fake itself put it
            if (const QString file = files.next(); file != evidence("stdin"))
                QVERIFY2(!readAll(file).contains(password.trimmed().toUtf8()), qPrintable(file));
        QTRY_VERIFY_WITH_TIMEOUT(received->calls == 1, 5000);
    }

    void controlCharacters_data() {
        columns<QString, bool>("text", "refused");
        row("plain", QString("alice smith"), false);
        row("accents and emoji", QString::fromUtf8("Zoë 🎬 ü"), false);
        row("no-break space", QString::fromUtf8("a\u00A0b"), false);
        row("NUL", QString(QChar(0)) + "a", true);
        row("tab", QString("a\tb"), true);
        row("C1 control", QString(QChar(0x85)), true);
        row("zero-width joiner", QString::fromUtf8("a\u200Db"), true);
        row("byte-order mark", QString(QChar(0xFEFF)) + "a", true);
        row("astral format character", QString::fromUcs4(U"a\U000E0001"), true);
        row("lone high surrogate", "a" + QString(QChar(0xD800)), true);
        row("lone low surrogate", QString(QChar(0xDC00)) + "a", true);
    }
    void controlCharacters() {
        auto [text, refused] = fetch<QString, bool>("text", "refused");
        QCOMPARE(containsControlCharacters(text), refused);
    }

    void username_data() {
        columns<QString, QString>("input", "arguments");
        for (const auto& [input, arguments] : {std::pair{"alice", "/u:alice|/d:VELDRA"},
                                               {"OTHER\\alice", "/u:alice|/d:OTHER"},
                                               {"\\alice", "/u:alice"},
                                               {"alice@veldra.example", "/u:alice@veldra.example"},
                                               {"A\\b\\c", "/u:b\\c|/d:A"}})
            row(input, QString(input), QString(arguments));
    }
    void username() {
        auto [input, arguments] = fetch<QString, QString>("input", "arguments");
        const SplitUsername split = splitUsername(input);
        const QStringList list = clientArguments("h", split.user, split.domain, {});
        QCOMPARE(list.filter(QRegularExpression("^/[ud]:")).join('|'), arguments);
    }

    void display_data() {
        // width 0: no screen; expected: the values of /size, /scale-desktop, /scale-device
        columns<double, double, double, QString>("width", "height", "scale", "expected");
        row("no screen", 0.0, 0.0, 0.0, "1240x736 100 100");
        row("retina laptop", 1440.0, 875.0, 2.0, "2800x1622 200 180");
        row("full hd, odd height", 1920.0, 1055.0, 1.0, "1880x990 100 100");
        row("scale 1.25", 1440.0, 900.0, 1.25, "1750x1044 125 100");
        row("scale 1.5, odd product made even", 1001.0, 864.0, 1.5, "1440x1200 150 180");
        row("scale 3 kept", 1000.0, 800.0, 3.0, "2880x2208 300 180");
        row("scale 4 treated as 1", 1000.0, 800.0, 4.0, "960x736 100 100");
        row("scale NaN", 1000.0, 800.0, qQNaN(), "960x736 100 100");
        row("tiny screen clamps to 200", 150.0, 150.0, 1.0, "200x200 100 100");
        row("width at the margin", 40.0, 864.0, 1.0, "1240x800 100 100");
        row("5K clamps to 8192", 5120.0, 2815.0, 2.0, "8192x5502 200 180");
    }
    void display() {
        auto [width, height, scale, expected] =
            fetch<double, double, double, QString>("width", "height", "scale", "expected");
        const auto screen =
            width != 0.0 ? std::optional(platform::ScreenInfo{width, height, scale}) : std::nullopt;
        QCOMPARE(displayArguments(screen).join(' ').remove(QRegularExpression("/[a-z-]+:")),
                 expected);
    }

    // The log is private to the user, and started afresh once past 2 MiB.
    void sizeCap_data() {
        columns<qint64, quint64>("size", "startOffset");
        row("new", qint64(-1), quint64(0));
        row("exactly 2 MiB stays", qint64(2'097'152), quint64(2'097'152));
        row("one byte more goes", qint64(2'097'153), quint64(0));
    }
    void sizeCap() {
        auto [size, startOffset] = fetch<qint64, quint64>("size", "startOffset");
        QFile file(logPath());
        if (size >= 0)
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        const OpenedLog opened = ClientLog(logPath()).openLogFile(
            {"/v:h", "/u:alice", "/d:VELDRA"}, QDateTime::fromSecsSinceEpoch(0).toUTC());
        QCOMPARE(opened.startOffset, startOffset);
        if (startOffset == 0)
            QCOMPARE(QFile::permissions(logPath()) & 0x0777, QFile::ReadUser | QFile::WriteUser);
        QFile log(logPath());
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(qint64(startOffset)));
        QCOMPARE(log.readAll(), "\n[1970-01-01T00:00:00Z] Starting FreeRDP: /v:h /u:<redacted> "
                                "/d:<redacted>\n");
    }

    // A failure's last words: the last three plain lines, at most 420 characters.
    void excerpt_data() {
        columns<QByteArray, QString>("output", "excerpt");
        row("bracketed and empty lines skipped", QByteArray("[INFO] x\nplain one\n\n"),
            "plain one");
        row("the last three", QByteArray("a\nb\nc\nd\ne\n"), "c d e");
        row("CR and unicode separators",
            QByteArray("  first \r second\xe2\x80\xa8third\xc2\x85 fourth \t\n"),
            "second third fourth");
        row("invalid UTF-8", QByteArray("fine\n\xff\xfe\n"), "");
        row("420 characters, not bytes", QByteArray("é").repeated(430),
            QString::fromUtf8("é").repeated(420));
    }
    void excerpt() {
        auto [output, excerpt] = fetch<QByteArray, QString>("output", "excerpt");
        const ClientLog log(logPath());
        QVERIFY(TestBundle::writeFile(logPath(), "an earlier launch's line\n", 0600));
        const std::uint64_t start = log.openLogFile({"/v:h"}).startOffset;
        QFile file(logPath());
        QVERIFY(file.open(QIODevice::Append) && file.write(output) == output.size());
        file.close();
        QCOMPARE(log.recentClientOutput(start), excerpt);
    }

    // A client that closed its input costs nothing: no SIGPIPE, no block.
    void clientThatStoppedReading() {
        const QString marker = evidence("closed");
        platform::ChildProcess process("/bin/sh",
                                       {"-c", "exec 0<&-; : > \"$1\"; sleep 2", "sh", marker});
        QVERIFY(!process.start());
        m_pids << process.processId();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
        QVERIFY(!process.writeAndCloseInput(QByteArray("secret\n")));
        sigset_t pending;
        sigpending(&pending);
        QVERIFY(!sigismember(&pending, SIGPIPE));
    }

    // Install tools: arguments unchanged, output far beyond a pipe's 64 KiB read whole.
    void toolArgumentsAndOutput() {
        const QStringList awkward{"/Volumes/V D/x.app", " it's ", "\"q\"", "b\\s", "$HOME `x`", ""};
        const QString script = "printf '%s\\0' \"$@\"; head -c 3000000 /dev/zero; exit 4";
        auto run =
            runTool({"/bin/sh", QStringList{"-c", script, "sh"} + awkward, ToolOutput::captured});
        const ToolResult result = std::get<ToolResult>(run);
        QCOMPARE(result.status, 4);
        QCOMPARE(result.output.size(), awkward.join('\0').size() + 1 + 3'000'000);
        QVERIFY(result.output.startsWith(awkward.join('\0').toUtf8() + '\0'));
        auto missing = runTool({"/nonexistent/hdiutil", {"attach"}, ToolOutput::captured});
        QCOMPARE(std::get<platform::SystemError>(missing).code, ENOENT);
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
