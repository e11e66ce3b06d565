// The install path against the fakes of the macOS programs, and the generated
// install script run by real zsh; every path has quotes and a backslash.
#include "Rows.h"
#include "TestBundle.h"
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
    QTemporaryDir m_scratch; // what the fake defaults writes, and a copy run from its image
    // What the fake chown links in place of a copy staged beside the target.
    const QString m_canary = m_scratch.filePath("canary");

    bool leftNothing() const {
        return m_box->tempFiles().isEmpty() && m_box->mountedVolumes().isEmpty();
    }
    // Entries of the installed copy (links aside) that are group- or
    // world-writable or set-ID, or with `root` not root:wheel's.
    QByteArray wrongOwnersOrModes(bool root) const {
        QProcess find;
        find.start("sh", {"-c",
                          QString("find \"$0\" ! -type l \\( -perm /6022 %1 \\)")
                              .arg(root ? "-o ! -uid 0 -o ! -gid 0" : ""),
                          m_box->installed});
        find.waitForFinished();
        return find.readAllStandardOutput();
    }
    static unsigned mode(const QString& path) {
        struct stat status {};
        return ::lstat(QFile::encodeName(path).constData(), &status) ? 0 : status.st_mode & 07777;
    }

private Q_SLOTS:
    void init() {
        qputenv("VELDRA_FAKE_DEFAULTS", QFile::encodeName(m_scratch.path()));
        QFile::remove(m_scratch.filePath("com.veldra.clouddesktop.conf"));
        qputenv("VELDRA_FAKE_LINK", QFile::encodeName(m_canary));
        QVERIFY(TestBundle::writeFile(m_canary, "secret", 0600));
        m_box = std::make_unique<InstallSandbox>();
        QVERIFY(m_box->isReady());
        m_finished = 0;
    }

    // An image through Installer::installUpdate (or the running copy moved):
    // it installs, or it is refused with its message, detached, deleted and
    // the old copy untouched.
    void install_data() {
        // pin: the signer requirement built in; approval: "" the folder is writable,
        // "sudo" a CI build's sudo -n, "hang" nobody answers; event: see install()
        columns<AppSpec, QString, platform::Architecture>("spec", "pin", "asked");
        columns<QString, QString, QString>("approval", "event", "refusal");
        using namespace updater_errors;
        const QString ours = "anchor apple generic and certificate leaf[subject.OU] = \"ABCDE\"";
        const QString signature = invalidSignature().message,
                      otherMac = wrongArchitecture().message,
                      unexpected = unexpectedApplication().message;
        const auto x64 = platform::Architecture::x86_64, arm = platform::Architecture::arm64;
        // As the publisher's build left it (GNU tar's options: this test is Linux-only).
        const AppSpec built{.tarOptions = {"--owner=501", "--group=20", "--mode=g+w,o-rx"}};
        const auto row = [](const char* name, const AppSpec& spec, const QString& pin,
                            platform::Architecture asked, const QString& approval,
                            const QString& event, const QString& refusal) {
            QTest::newRow(name) << spec << pin << asked << approval << event << refusal;
        };
        row("direct", built, "", x64, "", "", "");
        row("administrator", built, "", x64, "approve", "", "");
        row("administrator by sudo -n", built, "", x64, "sudo", "", "");
        row("pinned signer", {.seal = "sealed\nsatisfies: " + ours + "\n"}, ours, x64, "", "", "");
        row("another signer", {.seal = "sealed\nsatisfies: x\n"}, ours, x64, "", "", signature);
        row("unsigned", {.seal = ""}, "", x64, "", "", signature);
        row("arm64 for a translated copy", {.architectures = "arm64"}, "", arm, "", "", "");
        row("Intel where arm64 was chosen", {}, "", arm, "", "", otherMac);
        row("arm64 for Intel", {.architectures = "arm64"}, "", x64, "", "", otherMac);
        row("another identifier", {.bundleId = "com.example.other"}, "", x64, "", "", unexpected);
        row("2.1.0 is not 2.1", {.version = "2.1.0"}, "", x64, "", "", unexpected);
        row("administrator cancels", {}, "", x64, "cancel", "", approvalNotGranted().message);
        row("quitting ends the dialog", {}, "", x64, "hang", "", approvalNotGranted().message);
        row("image altered during the approval", {}, "", x64, "approve", "alter", "");
        row("a link planted at the target", {}, "", x64, "approve", "plant", "");
        row("a FIFO in place of the image", {}, "", x64, "approve", "fifo", "");
        row("root's folder's old name taken first", {}, "", x64, "approve", "squat", "");
        row("open elsewhere", {}, "", x64, "", "open", openElsewhere().message);
        row("open elsewhere, unseen", {}, "", x64, "", "open unseen", "");
        row("script rewritten during the approval", {}, "", x64, "approve", "rewrite",
            approvalNotGranted().message);
        row("the copy run from its image", {}, "", x64, "", "move", "");
        row("a move over a newer copy opens it", {.version = "1.9"}, "", x64, "", "move",
            alreadyInApplications("2.0").message);
        row("a move as root with no publisher pinned", {}, "", x64, "approve", "move",
            moveNeedsPublisher().message);
    }
    void install() {
        auto [spec, pin, asked, approval, event, refusal] =
            fetch<AppSpec, QString, platform::Architecture, QString, QString, QString>(
                "spec", "pin", "asked", "approval", "event", "refusal");
        const QString image = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        qputenv("VELDRA_FAKE_OSASCRIPT", approval.toUtf8());
        // What any program of the user's can give every later application
        // (launchctl setenv): a Mac's /bin/sh, as root, would run PS4's command.
        const QString ps4Ran = m_scratch.filePath("ps4-ran");
        qputenv("SHELLOPTS", "xtrace");
        qputenv("PS4", "$(touch " + shellQuote(ps4Ran).toUtf8() + ")");
        qputenv("VELDRA_FAKE_MV", event.toUtf8());
        // Another program of the user's during the approval: it appends to the image (the
        // user's mount is gone by then), or rewrites the script to leave a file beside it.
        // Or it puts a FIFO there, or takes the name of the folder root made before.
        const QByteArray temp = shellQuote(m_box->temp).toUtf8();
        qputenv("VELDRA_FAKE_OSASCRIPT_DURING",
                event == "alter" ? "printf evil >> " + shellQuote(image).toUtf8()
                : event == "rewrite"
                    ? "for f in " + temp + "/*.zsh; do echo 'touch \"$5.ran\"' > \"$f\"; done"
                : event == "fifo" ? "rm " + shellQuote(image).toUtf8() + " && mkfifo " +
                                        shellQuote(image).toUtf8()
                : event == "squat"
                    ? "for f in " + temp +
                          "/*.zsh; do f=${f##*-install-}; mkdir /tmp/veldra-install.${f%.zsh}; done"
                    : "");
        qint64 other = 0; // "open": another process from the target ("open unseen" by the app)
        if (event.startsWith("open"))
            QVERIFY(QFile::copy("/bin/sleep", m_box->installed + "/Contents/MacOS/other") &&
                    QProcess::startDetached(m_box->installed + "/Contents/MacOS/other", {"30"}, {},
                                            &other));
        const QString copy = m_scratch.filePath(platform::kBundleFileName);
        QVERIFY(event == "move" ? makeApp(copy, spec) : makeUpdateImage(image, spec));
        auto config = m_box->configuration(approval.isEmpty(), [this] { ++m_finished; });
        config.codeSignRequirement = pin;
        config.elevateWithSudo = approval == "sudo";
        if (event == "move")
            config.runningBundlePath = copy;
        if (event == "open unseen") // it started after the application looked
            config.processesRunningFrom = [](const QString&) { return QList<qint64>(); };
        Installer installer(config);
        std::optional<UpdateFailure> failure;
        std::thread run([&] {
            failure = event == "move"
                          ? installer.moveRunningCopy(m_box->installed, spec.version, asked)
                          : installer.installUpdate(image, "2.1", asked,
                                                    std::get<QString>(sha256Hex(image)));
        });
        if (approval == "hang") { // and the application quits
            waitUntil([&] { return !m_box->toolLog().filter("osascript").isEmpty(); }, 10000);
            abandonRunningTools();
        }
        run.join();
        QCOMPARE(failure ? describe(*failure) : QString(), refusal);
        QCOMPARE(m_finished, refusal.isEmpty() ? 1 : 0);
        // The script runs on by itself: the new copy in place and started.
        QTRY_VERIFY_WITH_TIMEOUT(leftNothing(), 15000);
        // A link planted at the swap is cleared, and the copy goes in.
        const bool installs = refusal.isEmpty() && (event.isEmpty() || event == "move" ||
                                                    event == "plant" || event == "squat");
        QVERIFY(!QFileInfo::exists(ps4Ran));
        const bool root = approval == "approve" || approval == "sudo";
        QCOMPARE(mode(m_canary), 0600u);
        QCOMPARE(m_box->installedMarker(), installs ? "new" : "old");
        // What root installs is root's, writable by its owner alone, its folder 0755.
        QCOMPARE(wrongOwnersOrModes(root && ::geteuid() == 0), QByteArray());
        QCOMPARE(mode(m_box->installed), 0755u);
        QCOMPARE(m_box->applications(), QStringList{platform::kBundleFileName});
        const QStringList log = m_box->toolLog();
        QCOMPARE(log.filter(" -R =").size(), pin.isEmpty() ? 0 : 1 + installs); // the script's too
        const QRegularExpression elevation(approval == "sudo" ? "^sudo -n .*" : "^osascript .*");
        // A move as root with no publisher pinned asks nobody.
        const bool elevated = !approval.isEmpty() && !(event == "move" && pin.isEmpty());
        QCOMPARE(log.filter(elevation).size(), elevated ? 1 : 0);
        if (elevated && approval != "sudo") // nothing of the user's: not their folder
            QVERIFY(log.filter(elevation).value(0).endsWith(" (in /)"));
        // One attachment at a time: the user's is gone before root attaches its own.
        if (elevated)
            QVERIFY(log.indexOf(QRegularExpression("hdiutil detach .*")) < log.indexOf(elevation));
        // Started once, as the user who asked, never as root.
        const QString uid = QString::number(::getuid()),
                      open = "open " + m_box->installed + " --args --report-started ",
                      asUser = "launchctl asuser " + uid + ' ' + fakesDir() + "/sudo -u #" + uid;
        QCOMPARE(log.filter(QRegularExpression("^" + QRegularExpression::escape(open))).size(),
                 installs ? 1 : 0);
        QCOMPARE(log.filter(asUser + ' ' + fakesDir() + '/' + open).size(),
                 installs && root ? 1 : 0);
        if (event == "move") { // and left where it was; the newer one installed opened instead
            QVERIFY(QFileInfo::exists(copy + "/Contents/Info.plist"));
            QCOMPARE(log.contains("open " + m_box->installed), spec.version == "1.9");
        }
        killPid(other);
        QProcess::execute("sh", {"-c", "rmdir /tmp/veldra-install.* 2>/dev/null"}); // squatted
    }

    // The script itself: it swaps, or it leaves the old copy as it was.
    void script_data() {
        // setup: "refuse" and "signal" are the fake mv's; result: the marker, or what went wrong
        columns<QString, QString>("setup", "result");
        row("swap", "", "new");
        row("first install", "none installed", "new");
        row("failed rename restores the old copy", "refuse", "old");
        row("the old process never quits", "old runs", "old");
        row("the new version never says it started", "", "rolled back");
        row("the staged copy is another version", "", "refused");
        row("the staged copy is for another Mac", "", "another Mac");
        row("a signal between the two moves", "signal", "old");
        row("the new version hangs", "", "hangs");
        row("a link planted before the roll-back's restore", "plant-before", "rolled back");
        row("a link planted before the clean-up's restore", "refuse,plant-before", "old");
        row("logged out before the start", "logged out", "new");
        row("logged out while it waits", "logout", "new");
    }
    void script() {
        auto [setup, result] = fetch<QString, QString>("setup", "result");
        if (setup == "none installed")
            QVERIFY(QDir(m_box->installed).removeRecursively());
        qputenv("VELDRA_FAKE_MV", setup.toUtf8());
        const bool hangs = result == "hangs", rolledBack = result == "rolled back" || hangs;
        qputenv("VELDRA_FAKE_OPEN", result == "rolled back" ? "crash"
                                    : hangs                 ? "hang"
                                    : setup == "logout"     ? "logout"
                                                            : "");
        // Logged in while this file is there.
        const QString session = m_scratch.filePath("session");
        QVERIFY(TestBundle::writeFile(session, "", 0600));
        qputenv("VELDRA_FAKE_SESSION",
                QFile::encodeName(session + (setup == "logged out" ? "-gone" : "")));
        // What installs that died left: swept, their processes being gone.
        const QString beside = QFileInfo(m_box->installed).path() + "/.Veldra Cloud Desktop.";
        for (const QString kind : {"new.4194000", "previous.4194000"})
            QVERIFY(makeApp(beside + kind, {.marker = "stale"}));
        // Its waits without the pauses: /usr/bin/true on macOS.
        SystemTools tools = fakeTools();
        tools.sleep = QStandardPaths::findExecutable("true");
        // The application it replaces: this one, which never quits, or one gone.
        const qint64 oldPid = setup == "old runs" ? ::getpid() : 999999;
        // What installUpdate hands it: a mounted copy, the image, what it must be.
        const QString script = m_box->temp + "/veldra-install-X.zsh",
                      mount = m_box->volumes + "/Volume", image = m_box->temp + "/X.dmg";
        QVERIFY(TestBundle::writeFile(script, installScriptText(tools).toUtf8(), 0700) &&
                makeApp(mount + '/' + platform::kBundleFileName, {}) &&
                TestBundle::writeFile(image, "image", 0600));
        QProcess zsh;
        zsh.start(tools.zsh,
                  {"--emulate", "sh", "-f", script, mount + '/' + platform::kBundleFileName,
                   m_box->installed, mount, QString::number(oldPid), image,
                   "com.veldra.clouddesktop", result == "refused" ? "9.9" : "2.1",
                   result == "another Mac" ? "arm64" : "x86_64", "", m_box->temp + "/started",
                   "1"});
        const QString marker = result == "new" ? "new" : "old";
        QVERIFY(zsh.waitForFinished(30000));
        QCOMPARE(zsh.exitCode(), marker == "new" ? 0 : 1);
        QCOMPARE(m_box->installedMarker(), marker);
        QVERIFY(leftNothing());
        // Whatever happened, a copy is started: the new one, or the one kept;
        // put back, the previous one started and told. Nothing once logged out
        // or ended by a signal (a logout).
        const QStringList opened = m_box->toolLog().filter(QRegularExpression("^open "));
        QCOMPARE(opened.size(), rolledBack                                   ? 2
                                : setup == "signal" || setup == "logged out" ? 0
                                                                             : 1);
        QCOMPARE(opened.value(opened.size() - 1),
                 rolledBack         ? "open " + m_box->installed + " --args --rolled-back 2.1"
                 : opened.isEmpty() ? QString()
                 : marker == "old"  ? "open " + m_box->installed
                                    : opened.first());
        QCOMPARE(m_box->applications(), QStringList{platform::kBundleFileName});
        // Put back, the previous copy learns what and why from the defaults store
        // (never to offer it again): a version still running was only slow, one gone had ended.
        QFile defaults(m_scratch.filePath("com.veldra.clouddesktop.conf"));
        const QByteArray told = defaults.open(QIODevice::ReadOnly) ? defaults.readAll() : "";
        for (const char* key : {"updateRolledBackVersion=2.1\n", "updateRollBackToAnnounce=2.1\n"})
            QCOMPARE(told.contains(key), rolledBack);
        QCOMPARE(told.contains(hangs ? "updateRollBackReason=slow" : "updateRollBackReason=exited"),
                 rolledBack);
        // The hung copy was ended first, so open did not only bring it forward.
        QList<qint64> pids; // what the fake open started
        for (const QString& line : m_box->toolLog().filter(QRegularExpression("^launched ")))
            pids << line.mid(9).toLongLong();
        QCOMPARE(pids.size(), hangs ? 2 : 0);
        if (hangs) {
            QVERIFY(!pidAlive(pids[0]) && pidAlive(pids[1]));
            killPid(pids[1]);
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
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
