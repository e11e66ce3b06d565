// The install path against the fakes of the macOS programs, and the generated
// install script run by real zsh; every path has quotes and a backslash.
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "updater/engine/UpdateLeftovers.h"
#include "updater/fetching/Sha256.h"
#include "updater/installing/Installer.h"
#include "updater/installing/ToolRunner.h"
#include "updater/patches/TreeDigest.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace veldra;
using namespace veldra::test;

Q_DECLARE_METATYPE(veldra::test::AppSpec)
Q_DECLARE_METATYPE(veldra::platform::Architecture)

class TestInstaller : public QObject {
    Q_OBJECT

    std::unique_ptr<InstallSandbox> m_box;
    int m_finished = 0;
    QTemporaryDir m_defaults; // what the fake defaults writes

    // What installUpdate hands the script: a mounted copy, the image, what it must be.
    QStringList scriptArguments(qint64 oldPid, const QString& version = "2.1",
                                const QString& arch = "x86_64") const {
        const QString mount = m_box->volumes + "/Volume";
        makeApp(mount + '/' + veldra::platform::kBundleFileName, {});
        const QString image = m_box->temp + "/VeldraCloudDesktop-X.dmg";
        TestBundle::writeFile(image, "image", 0600);
        return QStringList{mount + '/' + veldra::platform::kBundleFileName, m_box->installed, mount}
               << QString::number(oldPid) << image << "com.veldra.clouddesktop" << version << arch
               << "" << m_box->temp + "/started"
               << "1";
    }
    WrittenScript writeScript(const SystemTools& tools) const {
        const QString path = m_box->temp + "/veldra-install-X.zsh";
        const QByteArray text = installScriptText(tools).toUtf8();
        TestBundle::writeFile(path, text, 0700);
        return {path, sha256HexOfBytes(text)};
    }
    bool leftNothing() const {
        return m_box->tempFiles().isEmpty() && m_box->mountedVolumes().isEmpty();
    }
    // Entries of the installed copy (links aside) that are group- or
    // world-writable or set-ID, or with `root` not root:wheel's.
    QByteArray wrongOwnersOrModes(bool root) const {
        QProcess find;
        find.start("find", QStringList{m_box->installed, "!", "-type", "l", "(", "-perm", "/6022"} +
                               (root ? QStringList{"-o", "!", "-uid", "0", "-o", "!", "-gid", "0"}
                                     : QStringList()) +
                               QStringList{")"});
        find.waitForFinished();
        return find.readAllStandardOutput();
    }
    static bool isRunning(qint64 pid) { // and not a zombie
        return QProcess::execute(
                   "sh", {"-c", "ps -o stat= -p $0 | grep -q '^[^Z]'", QString::number(pid)}) == 0;
    }

private Q_SLOTS:
    void init() {
        qputenv("VELDRA_FAKE_DEFAULTS", QFile::encodeName(m_defaults.path()));
        qunsetenv("VELDRA_FAKE_OSASCRIPT");
        qunsetenv("VELDRA_FAKE_OSASCRIPT_DURING");
        QFile::remove(m_defaults.filePath("com.veldra.clouddesktop.conf"));
        m_box = std::make_unique<InstallSandbox>();
        QVERIFY(m_box->isReady());
        m_finished = 0;
    }

    // An image through Installer::installUpdate: it installs, or it is refused
    // with its message, detached, deleted and the old copy untouched.
    void install_data() {
        // pin: the signer requirement built in
        columns<AppSpec, QString, platform::Architecture>("spec", "pin", "asked");
        // "": the folder is writable; "approve", "cancel"; "sudo": a CI build's sudo -n
        columns<QString, QString>("approval", "refusal");
        const QString ours = "anchor apple generic and certificate leaf[subject.OU] = \"ABCDE\"";
        const QString signature = "The downloaded application signature is invalid.";
        const QString unexpected =
            "The installer does not contain the expected Veldra application.";
        const QString otherMac = "The update was built for a different type of Mac.";
        const auto x64 = platform::Architecture::x86_64, arm = platform::Architecture::arm64;
        // As the publisher's build left it (GNU tar's options: this test is Linux-only).
        const AppSpec built{.tarOptions = {"--owner=501", "--group=20", "--mode=g+w"}};
        const auto row = [](const char* name, const AppSpec& spec, const QString& pin,
                            platform::Architecture asked, const char* approval,
                            const QString& refusal) {
            QTest::newRow(name) << spec << pin << asked << QString(approval) << refusal;
        };
        row("direct", built, "", x64, "", "");
        row("administrator", built, "", x64, "approve", "");
        row("administrator by sudo -n", built, "", x64, "sudo", "");
        row("pinned signer", {.seal = "sealed\nsatisfies: " + ours + "\n"}, ours, x64, "", "");
        row("another signer", {.seal = "sealed\nsatisfies: x\n"}, ours, x64, "", signature);
        row("unsigned", {.seal = ""}, "", x64, "", signature);
        row("arm64 for a translated copy", {.architectures = "arm64"}, "", arm, "", "");
        row("Intel where arm64 was chosen", {}, "", arm, "", otherMac);
        row("arm64 for Intel", {.architectures = "arm64"}, "", x64, "", otherMac);
        row("another identifier", {.bundleId = "com.example.other"}, "", x64, "", unexpected);
        row("2.1.0 is not 2.1", {.version = "2.1.0"}, "", x64, "", unexpected);
        row("administrator cancels", {}, "", x64, "cancel",
            "Administrator approval was not granted; the current app was left unchanged.");
    }
    void install() {
        auto [spec, pin, asked, approval, refusal] =
            fetch<AppSpec, QString, platform::Architecture, QString, QString>(
                "spec", "pin", "asked", "approval", "refusal");
        qputenv("VELDRA_FAKE_OSASCRIPT", approval.toUtf8());
        Installer installer({fakeTools(), "com.veldra.clouddesktop", m_box->installed, m_box->temp,
                             999999, // no such process: the script goes straight on
                             [&](const QString&) { return approval.isEmpty(); },
                             [this] { ++m_finished; }, pin, std::chrono::seconds(60),
                             approval == "sudo"});
        const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        QVERIFY(makeUpdateImage(image, spec));
        const auto digest = sha256Hex(image);
        const auto failure =
            installer.installUpdate(image, "2.1", asked, std::get<QString>(digest));
        QCOMPARE(failure ? describe(*failure) : QString(), refusal);
        QCOMPARE(m_finished, refusal.isEmpty() ? 1 : 0);
        QCOMPARE(m_box->toolLog().filter(" -R =").size(), pin.isEmpty() ? 0 : 1);
        const bool root = approval == "approve" || approval == "sudo";
        const QString elevation = approval == "sudo" ? "sudo -n /bin/sh -c " : "osascript";
        QCOMPARE(m_box->toolLog().filter(QRegularExpression("^(osascript|sudo -n)")).size(),
                 approval.isEmpty() ? 0 : 1);
        // One attachment at a time: the user's is gone before root attaches its own.
        const QStringList log = m_box->toolLog();
        const auto first = [&](const QString& start) {
            return log.indexOf(QRegularExpression("^" + start + ".*"));
        };
        if (!approval.isEmpty())
            QVERIFY(first("hdiutil detach") < first(elevation));
        // The script runs on by itself: the new copy in place and started.
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        QCOMPARE(m_box->installedMarker(), refusal.isEmpty() ? "new" : "old");
        // What root installs is root's, and writable by its owner alone.
        if (refusal.isEmpty())
            QCOMPARE(wrongOwnersOrModes(root && ::geteuid() == 0), QByteArray());
        // Started as the user who asked, never as root.
        const QString uid = QString::number(::getuid());
        const QString open = "open " + m_box->installed + " --args --report-started ";
        QCOMPARE(m_box->toolLog()
                     .filter(QRegularExpression("^" + QRegularExpression::escape(open)))
                     .size(),
                 refusal.isEmpty() ? 1 : 0);
        QCOMPARE(m_box->toolLog()
                     .filter("launchctl asuser " + uid + ' ' + fakesDir() + "/sudo -u #" + uid +
                             ' ' + fakesDir() + '/' + open)
                     .size(),
                 refusal.isEmpty() && root ? 1 : 0);
        QCOMPARE(m_box->applications(), QStringList{veldra::platform::kBundleFileName});
    }

    // The script itself: it swaps, or it leaves the old copy as it was.
    void script_data() {
        // installed: an old copy is there first
        // mv: the mv it uses
        // oldRunning: the old process never quits
        // result: the marker at the target afterwards
        columns<bool, QString, bool, QString>("installed", "mv", "oldRunning", "result");
        QTest::newRow("swap") << true << "/bin/mv" << false << "new";
        QTest::newRow("first install") << false << "/bin/mv" << false << "new";
        QTest::newRow("failed rename restores the old copy")
            << true << fakesDir() + "/mv-refusing-staged" << false << "old";
        QTest::newRow("the old process never quits") << true << "/bin/mv" << true << "old";
        QTest::newRow("the new version never says it started")
            << true << "/bin/mv" << false << "rolled back";
        QTest::newRow("the staged copy is another version")
            << true << "/bin/mv" << false << "refused";
        QTest::newRow("the staged copy is for another Mac")
            << true << "/bin/mv" << false << "another Mac";
        QTest::newRow("a signal between the two moves")
            << true << fakesDir() + "/mv-signalling" << false << "old";
        QTest::newRow("the new version hangs") << true << "/bin/mv" << false << "hangs";
    }
    void script() {
        auto [installed, mv, oldRunning, result] =
            fetch<bool, QString, bool, QString>("installed", "mv", "oldRunning", "result");
        if (!installed)
            QVERIFY(QDir(m_box->installed).removeRecursively());
        SystemTools tools = fakeTools();
        tools.mv = mv;
        const bool hangs = result == "hangs";
        qputenv("VELDRA_FAKE_OPEN", result == "rolled back" ? "crash" : hangs ? "hang" : "");
        // What installs that died left: swept, their processes being gone.
        for (const QString kind : {"new", "previous"})
            QVERIFY(makeApp(QFileInfo(m_box->installed).path() + "/.Veldra Cloud Desktop." + kind +
                                ".4194000",
                            {.marker = "stale"}));
        // Its wait for the old process, without the pauses: /usr/bin/true on macOS.
        tools.sleep = QStandardPaths::findExecutable("true");
        QProcess old;
        old.start(oldRunning ? "/bin/sleep" : tools.sleep, {"30"});
        QVERIFY(old.waitForStarted());
        const qint64 oldPid = old.processId();
        if (!oldRunning)
            QVERIFY(old.waitForFinished());
        QProcess zsh;
        zsh.start(tools.zsh, QStringList{"--emulate", "sh", "-f", writeScript(tools).path} +
                                 scriptArguments(oldPid, result == "refused" ? "9.9" : "2.1",
                                                 result == "another Mac" ? "arm64" : "x86_64"));
        const bool rolledBack = result == "rolled back" || hangs;
        if (result == "refused" || result == "another Mac" || rolledBack)
            result = "old";
        QVERIFY(zsh.waitForFinished(30000));
        old.kill();
        old.waitForFinished();
        QCOMPARE(zsh.exitCode(), result == "new" ? 0 : 1);
        QCOMPARE(m_box->installedMarker(), result);
        QVERIFY(leftNothing());
        // The new copy started; put back, the previous one started and told.
        const QStringList opened = m_box->toolLog().filter(QRegularExpression("^open "));
        // Whatever happened, a copy is started: the new one, or the one kept.
        QCOMPARE(opened.size(), rolledBack ? 2 : 1);
        QCOMPARE(opened.last(), rolledBack
                                    ? "open " + m_box->installed + " --args --rolled-back 2.1"
                                : result == "old" ? "open " + m_box->installed
                                                  : opened.first());
        QCOMPARE(m_box->applications(), QStringList{veldra::platform::kBundleFileName});
        // Put back, the previous copy learns why from the defaults store, and
        // runs: the new one was ended first, so open did not only bring it forward.
        // Why: a version still running was only slow, one gone had ended.
        QFile defaults(m_defaults.filePath("com.veldra.clouddesktop.conf"));
        const QByteArray told = defaults.open(QIODevice::ReadOnly) ? defaults.readAll() : "";
        QCOMPARE(told.contains("updateRollBackToAnnounce=2.1\n"), rolledBack);
        QCOMPARE(told.contains(hangs ? "updateRollBackReason=slow" : "updateRollBackReason=exited"),
                 rolledBack);
        QList<qint64> pids; // what the fake open started
        for (const QString& line : m_box->toolLog().filter(QRegularExpression("^launched ")))
            pids << line.mid(9).toLongLong();
        QCOMPARE(pids.size(), hangs ? 2 : 0);
        if (hangs) {
            QVERIFY(!isRunning(pids[0]));
            QVERIFY(isRunning(pids[1]));
            ::kill(static_cast<pid_t>(pids[1]), SIGKILL);
        }
    }

    // At start the application removes what installs that died left beside
    // it, but never what a running install holds; and a copy it does not own
    // is replaced on the administrator path.
    void leftoversAndOwners() {
        const QString beside = QFileInfo(m_box->installed).path() + "/.Veldra Cloud Desktop.";
        const QString dead = beside + "previous.4194000",
                      live = beside + "new." + QString::number(::getpid());
        QVERIFY(makeApp(dead, {}) && makeApp(live, {}));
        removeInstallLeftovers(m_box->installed);
        QVERIFY(!QFileInfo::exists(dead) && QFileInfo::exists(live));
        QVERIFY(mayReplaceDirectly(m_box->installed));
        // A FIFO named like a transfer file neither stops the sweep nor goes.
        const QString fifo = m_box->temp + "/.veldra-transfer-x";
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        auto swept = std::make_shared<std::atomic<bool>>(false);
        std::thread([swept, temp = m_box->temp] {
            removeUpdateLeftovers(temp);
            *swept = true;
        }).detach();
        QTRY_VERIFY_WITH_TIMEOUT(*swept, 5000);
        QVERIFY(QFile::remove(fifo));
        if (::geteuid() == 0) { // only root gives a copy away
            QVERIFY(::chown(QFile::encodeName(m_box->installed).constData(), 1, 1) == 0);
            QVERIFY(!mayReplaceDirectly(m_box->installed));
        }
        QDir(live).removeRecursively();
    }

    // As root, a link planted where the copy was once staged beside the
    // target, and a folder planted at the target once the previous copy
    // moved aside: root never follows the link (the 0600 canary keeps its
    // mode), nothing lands in the folder, and the previous copy is in place.
    void rootFollowsNoPlantedPath() {
        QTemporaryDir outside;
        const QString canary = outside.filePath("canary"), target = m_box->installed;
        SystemTools tools = fakeTools();
        tools.chown = outside.filePath("chown"); // then links whatever is staged beside
        tools.mv = outside.filePath("mv");       // then plants a folder at the target, once
        const QByteArray q = shellQuote(target).toUtf8();
        QVERIFY(TestBundle::writeFile(canary, "secret", 0600) &&
                TestBundle::writeFile(
                    tools.chown,
                    "#!/bin/sh\nfor s in " + shellQuote(QFileInfo(target).path()).toUtf8() +
                        "/.Veldra*.new.*; do [ -d \"$s\" ] && rm -rf \"$s\" && ln -s " +
                        shellQuote(canary).toUtf8() + " \"$s\"; done\nexec " +
                        shellQuote(fakesDir() + "/chown").toUtf8() + " \"$@\"\n",
                    0755) &&
                TestBundle::writeFile(tools.mv,
                                      "#!/bin/sh\n/bin/mv \"$@\" || exit\n[ \"$1\" = " + q +
                                          " ] && mkdir " +
                                          shellQuote(canary + ".planted").toUtf8() +
                                          " 2>/dev/null && mkdir " + q + "\nexit 0\n",
                                      0755));
        const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        QVERIFY(makeUpdateImage(image, {}));
        Installer installer({tools, "com.veldra.clouddesktop", target, m_box->temp, 999999,
                             [](const QString&) { return false; }, [] {}, ""});
        QVERIFY(!installer.installUpdate(image, "2.1", platform::Architecture::x86_64,
                                         std::get<QString>(sha256Hex(image))));
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        QCOMPARE(QFileInfo(canary).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(m_box->installedMarker(), "old");
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Contents"});
    }

    // Another process runs from the target: the application refuses at once,
    // and the script refuses too (the process may start after the
    // application looked); the previous copy stays.
    void openElsewhere() {
        const QString other = m_box->installed + "/Contents/MacOS/other";
        QVERIFY(QFile::copy("/bin/sleep", other));
        QProcess running;
        running.start(other, {"30"});
        QVERIFY(running.waitForStarted());
        for (const bool applicationLooks : {true, false}) {
            Installer::Configuration config{fakeTools(),
                                            "com.veldra.clouddesktop",
                                            m_box->installed,
                                            m_box->temp,
                                            999999,
                                            [](const QString&) { return true; },
                                            [] {},
                                            ""};
            if (!applicationLooks)
                config.processesRunningFrom = [](const QString&) { return QList<qint64>(); };
            const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
            QVERIFY(makeUpdateImage(image, {}));
            const auto failure = Installer(config).installUpdate(
                image, "2.1", platform::Architecture::x86_64, std::get<QString>(sha256Hex(image)));
            QCOMPARE(failure ? describe(*failure) : QString(),
                     applicationLooks ? updater_errors::openElsewhere().message : QString());
            QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
            QCOMPARE(m_box->installedMarker(), "old");
        }
        running.kill();
        running.waitForFinished();
    }

    // A copy run from its disk image moves itself: checked as an update would
    // be, put at the target, and left where it was.
    void moveRunningCopy() {
        QTemporaryDir volume;
        const QString copy = volume.filePath(veldra::platform::kBundleFileName);
        QVERIFY(makeApp(copy, {.version = "2.0"}));
        Installer installer({fakeTools(), "com.veldra.clouddesktop", copy, m_box->temp, 999999,
                             [](const QString&) { return true; }, [this] { ++m_finished; }, ""});
        QVERIFY(
            !installer.moveRunningCopy(m_box->installed, "2.0", platform::Architecture::x86_64));
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing() && m_box->installedMarker() == "new", 15000);
        QVERIFY(QFileInfo::exists(copy + "/Contents/Info.plist") && m_finished == 1);
    }

    // As root, a patched copy whose folder another program opened to the
    // world (and closed to its group) during the approval is installed with
    // the folder's mode set by root, not copied.
    void patchedCopyAsRoot() {
        const QString folder = m_box->temp + "/VeldraCloudDesktop-X.patched";
        const QString app = folder + '/' + veldra::platform::kBundleFileName;
        QVERIFY(makeApp(app, {}));
        qputenv("VELDRA_FAKE_OSASCRIPT_DURING", QFile::encodeName("chmod 0707 " + shellQuote(app)));
        Installer installer({fakeTools(), "com.veldra.clouddesktop", m_box->installed, m_box->temp,
                             999999, [](const QString&) { return false; }, [] {}, ""});
        QVERIFY(!installer.installPatchedCopy(app, folder, "2.1", platform::Architecture::x86_64,
                                              std::get<QString>(treeDigest(app))));
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        QCOMPARE(m_box->installedMarker(), "new");
        struct stat target;
        QVERIFY(::stat(QFile::encodeName(m_box->installed).constData(), &target) == 0);
        QCOMPARE(target.st_mode & 07777, 0755u);
    }

    // Quitting during the administrator dialog ends it: the update is
    // abandoned and cleaned up, and nothing of it runs later.
    void quittingEndsTheDialog() {
        const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        QVERIFY(makeUpdateImage(image, {}));
        qputenv("VELDRA_FAKE_OSASCRIPT", "hang");
        Installer installer({fakeTools(), "com.veldra.clouddesktop", m_box->installed, m_box->temp,
                             999999, [](const QString&) { return false; }, [] {}, ""});
        std::optional<UpdateFailure> failure;
        std::thread install([&] {
            failure = installer.installUpdate(image, "2.1", platform::Architecture::x86_64,
                                              std::get<QString>(sha256Hex(image)));
        });
        QTRY_VERIFY(!m_box->toolLog().filter("osascript").isEmpty());
        abandonRunningTools();
        install.join();
        QVERIFY(failure);
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        QCOMPARE(m_box->installedMarker(), "old");
    }

    // As root the script takes a patched copy's tree digest itself: exactly as
    // the application does, for every kind of name, mode and link.
    void scriptTreeDigest() {
        const QString root = m_box->temp + "/tree";
        for (const QString file :
             {"a-b", "a.c", "a b/x", "a/x", "back\\slash", "-lead", "\u00e9", "e"})
            QVERIFY(
                QDir().mkpath(QFileInfo(root + '/' + file).path()) &&
                TestBundle::writeFile(root + '/' + file, file == "e" ? "" : file.toUtf8(), 0644));
        QVERIFY(QFile::link("/abs/target", root + "/l1") && QFile::link("../a-b", root + "/a/l2") &&
                QFile::link("-", root + "/a b/-"));
        QVERIFY(QFile::setPermissions(root + "/a.c", QFile::ReadOwner | QFile::ExeOwner |
                                                         QFile::ReadOther | QFile::ExeOther));
        QDir().mkpath(root + "/empty");
        QProcess zsh;
        zsh.start(fakeTools().zsh,
                  {"-c",
                   scriptFunctions(fakeTools(), {"sha256", "tree_digest"}) + "\ntree_digest \"$1\"",
                   "zsh", root});
        QVERIFY(zsh.waitForFinished(30000) && zsh.exitCode() == 0);
        QCOMPARE(zsh.readAllStandardOutput().trimmed(),
                 std::get<QString>(treeDigest(root)).toLatin1());
        QDir(root).removeRecursively();
    }

    // While the approval dialog is open, another program of the user's swaps the
    // mounted application and rewrites the image: root installs neither.
    void attackerDuringApproval() {
        const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        QVERIFY(makeUpdateImage(image, {}));
        const QString digest = std::get<QString>(sha256Hex(image));
        qputenv("VELDRA_FAKE_OSASCRIPT_DURING",
                QFile::encodeName("cd " + shellQuote(m_box->volumes) +
                                  " && for m in */*/Contents/Resources.marker; "
                                  "do echo evil > \"$m\"; done; printf evil >> " +
                                  shellQuote(image)));
        Installer installer({fakeTools(), "com.veldra.clouddesktop", m_box->installed, m_box->temp,
                             999999, [](const QString&) { return false; }, [] {}, ""});
        QVERIFY(!installer.installUpdate(image, "2.1", platform::Architecture::x86_64, digest));
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        QCOMPARE(m_box->installedMarker(), "old");
        QCOMPARE(m_box->applications(), QStringList{veldra::platform::kBundleFileName});
    }

    // The administrator command runs as root a script that lies in the user's
    // temporary folder: a script rewritten before approval never runs.
    void rewrittenScriptNeverRunsAsRoot() {
        const SystemTools tools = fakeTools();
        const WrittenScript written = writeScript(tools);
        const QString evidence = m_box->temp + "/ran-as-root";
        QVERIFY(TestBundle::writeFile(written.path, "touch '" + evidence.toUtf8() + "'\n", 0700));
        const QString job = m_box->temp + "/veldra-install-X.plist";
        const QByteArray jobText =
            installJob("x", QStringList{tools.zsh, "-f", "/tmp/veldra-install.X/install.zsh"} +
                                scriptArguments(999999));
        QVERIFY(TestBundle::writeFile(job, jobText, 0600));
        QProcess osascript;
        osascript.start(tools.osascript,
                        {"-e", administratorStatement(administratorCommand(
                                   tools, written, {job, sha256HexOfBytes(jobText)},
                                   "/tmp/veldra-install.X"))});
        QVERIFY(osascript.waitForFinished(10000));
        QVERIFY(osascript.exitCode() != 0); // fails like a refused approval
        QTest::qWait(300);
        QVERIFY(!QFileInfo::exists(evidence));
        QCOMPARE(m_box->installedMarker(), "old");
    }
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
