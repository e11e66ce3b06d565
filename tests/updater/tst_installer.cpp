#include "TestBundle.h"
#include "UpdateImage.h"
#include "updater/Installer.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

Q_DECLARE_METATYPE(veldra::test::AppSpec)
Q_DECLARE_METATYPE(veldra::platform::Architecture)

class TestInstaller : public QObject {
    Q_OBJECT

    std::unique_ptr<InstallSandbox> m_box;
    int m_finished = 0;
    bool m_writable = true;

    Installer makeInstaller(SystemTools tools = fakeTools(), QString requirement = {}) {
        return Installer(
            {tools, "com.veldra.clouddesktop", m_box->installed, m_box->temp,
             999999, // a process that is not there, so a started script goes straight on
             [this](const QString&) { return m_writable; }, [this] { ++m_finished; }, requirement});
    }
    QString image(const AppSpec& spec) {
        const QString path = m_box->temp + "/VeldraCloudDesktop-TEST.dmg";
        if (!makeUpdateImage(path, spec))
            qFatal("cannot make the test image");
        return path;
    }

private Q_SLOTS:
    void init() {
        m_box = std::make_unique<InstallSandbox>();
        QVERIFY(m_box->isReady());
        m_finished = 0;
        m_writable = true;
    }

    void mounting_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("pad");
        QTest::addColumn<QString>("outcome"); // "mounted" or the error text
        const QString unreadable = "The downloaded disk image could not be opened.";
        QTest::newRow("mount point after entities without one") << "ok" << 0 << "mounted";
        QTest::newRow("output far beyond a pipe buffer") << "ok" << 2000 << "mounted";
        QTest::newRow("tool fails") << "fail" << 0 << unreadable;
        QTest::newRow("no mount point anywhere") << "nomount" << 0 << unreadable;
        QTest::newRow("an entity that is not a dictionary") << "notdicts" << 0 << unreadable;
        QTest::newRow("not a property list")
            << "garbage" << 0 << "The disk image tool's answer is not a property list.";
    }
    void mounting() {
        QFETCH(QString, mode);
        QFETCH(int, pad);
        QFETCH(QString, outcome);
        qputenv("VELDRA_FAKE_HDIUTIL", mode.toUtf8());
        qputenv("VELDRA_FAKE_HDIUTIL_PAD", QByteArray::number(pad));
        Installer installer = makeInstaller();
        const auto result = installer.attachDiskImage(image(AppSpec{}));
        if (outcome == "mounted") {
            const QString mountPoint = std::get<QString>(result);
            QVERIFY(
                QFileInfo(mountPoint + "/Veldra Cloud Desktop.app/Contents/Info.plist").isFile());
            QCOMPARE(m_box->toolLog().first(), "hdiutil attach -nobrowse -readonly -plist " +
                                                   m_box->temp + "/VeldraCloudDesktop-TEST.dmg");
        } else {
            QCOMPARE(describe(std::get<UpdateFailure>(result)), outcome);
        }
    }

    // A system tool that is not there: the platform's error, nothing left.
    void toolMissing_data() {
        QTest::addColumn<QString>("tool");
        QTest::newRow("hdiutil") << "hdiutil";
        QTest::newRow("codesign") << "codesign";
    }
    void toolMissing() {
        QFETCH(QString, tool);
        SystemTools tools = fakeTools();
        (tool == "hdiutil" ? tools.hdiutil : tools.codesign) = m_box->root() + "/no/" + tool;
        Installer installer = makeInstaller(tools);
        const auto failure = installer.installUpdate(image(AppSpec{}), "2.1");
        QVERIFY(failure);
        QCOMPARE(describe(*failure), QString::fromLocal8Bit(std::strerror(ENOENT)));
        QCOMPARE(m_box->tempFiles(), QStringList());
        QCOMPARE(m_box->mountedVolumes(), QStringList());
    }

    // Every refusal after the mount: the message, the image detached and
    // deleted, no script left, and the installed application untouched.
    void refusals_data() {
        QTest::addColumn<AppSpec>("spec");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("message");
        const QString unexpected =
            "The installer does not contain the expected Veldra application.";
        AppSpec renamed;
        renamed.folderName = "Veldra.app";
        AppSpec otherId;
        otherId.bundleId = "com.example.other";
        AppSpec idCase;
        idCase.bundleId = "com.Veldra.clouddesktop";
        AppSpec noPlist;
        noPlist.hasInfoPlist = false;
        AppSpec unsignedApp;
        unsignedApp.isSigned = false;
        AppSpec noExecutable;
        noExecutable.hasExecutable = false;
        AppSpec arm;
        arm.architectures = "arm64";
        AppSpec v211;
        v211.version = "2.1.1";
        AppSpec v20;
        v20.version = "2.0";
        AppSpec v210;
        v210.version = "2.1.0";
        AppSpec garbled;
        garbled.version = "2.1-beta";
        QTest::newRow("application under another name") << renamed << "2.1" << unexpected;
        QTest::newRow("another bundle identifier") << otherId << "2.1" << unexpected;
        QTest::newRow("identifier differs in case") << idCase << "2.1" << unexpected;
        QTest::newRow("no Info.plist") << noPlist << "2.1" << unexpected;
        QTest::newRow("newer than announced") << v211 << "2.1" << unexpected;
        QTest::newRow("older than announced") << v20 << "2.1" << unexpected;
        QTest::newRow("2.1.0 is not 2.1") << v210 << "2.1" << unexpected;
        QTest::newRow("unreadable version") << garbled << "2.1-beta" << unexpected;
        QTest::newRow("unsigned") << unsignedApp << "2.1"
                                  << "The downloaded application signature is invalid.";
        QTest::newRow("no executable") << noExecutable << "2.1"
                                       << "The downloaded application executable is missing.";
        QTest::newRow("other architecture") << arm << "2.1"
                                            << "The update was built for a different type of Mac.";
    }
    void refusals() {
        QFETCH(AppSpec, spec);
        QFETCH(QString, expected);
        QFETCH(QString, message);
        Installer installer = makeInstaller();
        const QString dmg = image(spec);
        const auto failure = installer.installUpdate(dmg, expected);
        QVERIFY(failure);
        QCOMPARE(describe(*failure), message);
        QVERIFY(m_box->toolLog().filter(QRegularExpression("^hdiutil detach ")).size() == 1);
        QCOMPARE(m_box->mountedVolumes(), QStringList()); // detached
        QCOMPARE(m_box->tempFiles(), QStringList());      // image and script gone
        QCOMPARE(m_box->installedMarker(), "old");
        QCOMPARE(m_finished, 0);
    }

    // lipo is asked for the architecture the manifest's image was chosen for.
    void architectures_data() {
        QTest::addColumn<QString>("contains");
        QTest::addColumn<platform::Architecture>("asked");
        QTest::addColumn<bool>("installs");
        QTest::newRow("universal, as x86_64")
            << "x86_64 arm64" << platform::Architecture::x86_64 << true;
        QTest::newRow("arm64 image for a translated copy")
            << "arm64" << platform::Architecture::arm64 << true;
        QTest::newRow("Intel application where arm64 was chosen")
            << "x86_64" << platform::Architecture::arm64 << false;
    }
    void architectures() {
        QFETCH(QString, contains);
        QFETCH(platform::Architecture, asked);
        QFETCH(bool, installs);
        AppSpec spec;
        spec.architectures = contains;
        Installer installer = makeInstaller();
        const auto failure = installer.installUpdate(image(spec), "2.1", asked);
        QCOMPARE(!failure, installs);
        QCOMPARE(m_finished, installs ? 1 : 0);
        if (installs)
            QTRY_VERIFY_WITH_TIMEOUT(m_box->installedMarker() == "new", 10000);
        else
            QCOMPARE(describe(*failure), "The update was built for a different type of Mac.");
    }

    // A pinned signer: a validly signed bundle from anyone else is refused.
    void signerPin_data() {
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("satisfies");
        QTest::addColumn<bool>("installs");
        const QString ours = "anchor apple generic and identifier \"com.veldra.clouddesktop\" "
                             "and certificate leaf[subject.OU] = \"ABCDE12345\"";
        const QString theirs = "anchor apple generic and certificate leaf[subject.OU] = \"XYZ\"";
        QTest::newRow("pinned signer") << ours << ours << true;
        QTest::newRow("another signer") << ours << theirs << false;
        QTest::newRow("no pin: any valid signature") << QString() << theirs << true;
    }
    void signerPin() {
        QFETCH(QString, pin);
        QFETCH(QString, satisfies);
        QFETCH(bool, installs);
        Installer installer = makeInstaller(fakeTools(), pin);
        AppSpec spec;
        spec.satisfies = satisfies;
        const auto failure = installer.installUpdate(image(spec), "2.1");
        QCOMPARE(!failure, installs);
        QCOMPARE(m_box->toolLog().filter(" -R =").size(), pin.isEmpty() ? 0 : 1);
        if (installs) {
            QTRY_VERIFY_WITH_TIMEOUT(m_box->installedMarker() == "new", 10000);
            return;
        }
        QCOMPARE(describe(*failure), "The downloaded application signature is invalid.");
        QCOMPARE(m_box->tempFiles(), QStringList());
        QCOMPARE(m_box->installedMarker(), "old");
    }

    void administratorCancelled() {
        qputenv("VELDRA_FAKE_OSASCRIPT", "cancel");
        m_writable = false;
        Installer installer = makeInstaller();
        const auto failure = installer.installUpdate(image(AppSpec{}), "2.1");
        QVERIFY(failure);
        QCOMPARE(describe(*failure),
                 "Administrator approval was not granted; the current app was left unchanged.");
        QCOMPARE(m_box->tempFiles(), QStringList()); // the script too
        QCOMPARE(m_box->mountedVolumes(), QStringList());
        QCOMPARE(m_box->installedMarker(), "old");
        QCOMPARE(m_finished, 0);
    }

    void handOver_data() {
        QTest::addColumn<bool>("writable");
        QTest::newRow("direct") << true;
        QTest::newRow("administrator") << false;
    }
    void handOver() {
        QFETCH(bool, writable);
        m_writable = writable;
        Installer installer = makeInstaller();
        QVERIFY(!installer.installUpdate(image(AppSpec{}), "2.1"));
        QCOMPARE(m_finished, 1);
        // The script runs on by itself: the new version in place, started, and
        // nothing of the update left over.
        QTRY_VERIFY_WITH_TIMEOUT(m_box->toolLog().contains("open " + m_box->installed), 15000);
        QCOMPARE(m_box->installedMarker(), "new");
        QTRY_VERIFY_WITH_TIMEOUT(m_box->tempFiles().isEmpty() && m_box->mountedVolumes().isEmpty(),
                                 5000);
        QCOMPARE(m_box->applications(), QStringList{"Veldra Cloud Desktop.app"});
        QCOMPARE(m_box->toolLog().filter("osascript").size(), writable ? 0 : 1);
    }

    void target_data() {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("target");
        QTest::newRow("from a mounted image")
            << "/Volumes/Veldra Cloud Desktop/Veldra Cloud Desktop.app"
            << "/Applications/Veldra Cloud Desktop.app";
        QTest::newRow("translocated")
            << "/private/var/folders/x/AppTranslocation/ABC/d/Veldra Cloud Desktop.app"
            << "/Applications/Veldra Cloud Desktop.app";
        QTest::newRow("renamed in place") << "/Users/al/Tools/My Veldra.app"
                                          << "/Users/al/Tools/My Veldra.app";
    }
    void target() {
        QFETCH(QString, running);
        QFETCH(QString, target);
        QCOMPARE(installTargetFor(running), target);
    }

    // Its behaviour is tst_installscript's, run by zsh; here its name and mode.
    void scriptFile() {
        Installer installer = makeInstaller(SystemTools{});
        const QString path = std::get<WrittenScript>(installer.writeInstallScript()).path;
        static const QRegularExpression name(
            "/veldra-install-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.zsh$");
        QVERIFY2(name.match(path).hasMatch(), qPrintable(path));
        QCOMPARE(QFileInfo(path).permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner |
                                                             QFile::ExeOwner | QFile::ReadUser |
                                                             QFile::WriteUser | QFile::ExeUser);
    }

    void administratorQuoting_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("statement");
        QTest::newRow("plain") << "'/tmp/s.zsh' '1'"
                               << "do shell script \"'/tmp/s.zsh' '1'\" with "
                                  "administrator privileges";
        QTest::newRow("double quote and backslash")
            << "'a\"b\\c'"
            << "do shell script \"'a\\\"b\\\\c'\" with administrator privileges";
    }
    void administratorQuoting() {
        QFETCH(QString, command);
        QFETCH(QString, statement);
        QCOMPARE(administratorStatement(command), statement);
        QCOMPARE(shellQuote("/Apps/Al's Tools/x.app"), "'/Apps/Al'\\''s Tools/x.app'");
    }
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
