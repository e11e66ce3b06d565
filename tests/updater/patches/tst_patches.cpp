// Patches between two builds of the bundle, as clients apply them and veldra-release makes them.
#include "Rows.h"
#include "TestBundle.h"
#include "platform/Bundle.h"
#include "platform/InfoPlist.h"
#include "updater/offer/UpdateURL.h"
#include "updater/patches/BundlePatch.h"

#include <QDir>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

namespace {

// Every entry's path, type, mode and link target, the bundle's own folder too.
QStringList listing(const QString& root) {
    QProcess find;
    find.start("find", {root, "-printf", "%P %y %m %l\\n"});
    find.waitForFinished();
    QStringList lines = QString::fromUtf8(find.readAllStandardOutput()).split('\n');
    lines.sort();
    return lines;
}

int run(const QString& program, const QStringList& arguments) {
    return QProcess::execute(program, arguments);
}

} // namespace

class TestPatches : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_old, m_new;

private Q_SLOTS:
    // The old bundle is this build; the new one has two binaries changed at one place, a
    // framework with a Versions/Current link, a file gone, a mode changed, a folder closed.
    void initTestCase() {
        m_old = m_dir.filePath("old/") + platform::kBundleFileName;
        m_new = m_dir.filePath("new/") + platform::kBundleFileName;
        for (const QString& copy : {m_old, m_new})
            QVERIFY(QDir().mkpath(QFileInfo(copy).path()) &&
                    run("cp", {"-a", BUNDLE_DIR, copy}) == 0);
        for (const QString binary :
             {"MacOS/VeldraCloudDesktop", "PlugIns/libveldra_update_engine.so"}) {
            QFile file(m_new + "/Contents/" + binary);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() / 2));
            file.write("changed line....");
        }
        const QString framework = m_new + "/Contents/Frameworks/Q.framework";
        QVERIFY(QDir().mkpath(framework + "/Versions/A"));
        QVERIFY(TestBundle::writeFile(framework + "/Versions/A/Q", "library", 0755));
        QVERIFY(QFile::link("A", framework + "/Versions/Current"));
        QVERIFY(QFile::link("Versions/Current/Q", framework + "/Q"));
        QVERIFY(QFile::remove(m_new + "/Contents/Resources/logo_tessaro.png"));
        QCOMPARE(run("chmod", {"600", m_new + "/Contents/Resources/logo_veldra.png"}), 0);
        QCOMPARE(run("chmod", {"700", framework + "/Versions/A"}), 0);
    }

    void appliedIsTheNewBundle() {
        const QString patch = m_dir.filePath("patch.tar");
        const auto made = makeBundlePatch(m_old, m_new, patch);
        QVERIFY(std::holds_alternative<PatchHeader>(made));
        // Nothing unchanged travels: far below the bundle's own size.
        QCOMPARE_LT(QFileInfo(patch).size(), 20'000);
        const QString applied = m_dir.filePath("applied.app");
        const auto result = applyBundlePatch(patch, m_old, applied);
        QVERIFY(std::holds_alternative<PatchHeader>(result));
        QCOMPARE(listing(applied), listing(m_new));
        QCOMPARE(run("diff", {"-r", "--no-dereference", m_new, applied}), 0);
        removeBundleCopy(applied);
        QVERIFY(!QFileInfo::exists(applied));
    }

    // Refused, nothing left anywhere; a listing root must not build, before anything is built.
    void refused_data() {
        // to: the same length, so the archive stays readable
        columns<QByteArray, QByteArray>("from", "to");
        row("path outside", QByteArray("\"Contents/Info.plist\""),
            QByteArray("\"Contents/../../x.pl\""));
        row("group-writable file", QByteArray("\"mode\":420"), QByteArray("\"mode\":436"));
        row("world-writable folder", QByteArray("\"mode\":493"), QByteArray("\"mode\":511"));
        row("folder its owner cannot write", QByteArray("\"mode\":493"),
            QByteArray("\"mode\":365"));
        row("another result tree", QByteArray("result"), QByteArray());
    }
    void refused() {
        auto [from, to] = fetch<QByteArray, QByteArray>("from", "to");
        const QString patch = m_dir.filePath("refused.tar");
        const auto made = makeBundlePatch(m_old, m_new, patch);
        QVERIFY(std::holds_alternative<PatchHeader>(made));
        const bool wholeTree = from == "result";
        if (wholeTree) { // one digit of the header's result tree changed
            from = std::get<PatchHeader>(made).resultTree.toLatin1();
            to = from;
            to[0] = to[0] == '0' ? '1' : '0';
        }
        QFile file(patch);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        QVERIFY(bytes.contains(from));
        QVERIFY(TestBundle::writeFile(patch, bytes.replace(from, to), 0644));
        QCOMPARE(std::holds_alternative<PatchProblem>(readPatchHeader(patch)), !wholeTree);
        const QString applied = m_dir.filePath("refused.app"); // Contents/../../x.pl: beside it
        const auto result = applyBundlePatch(patch, m_old, applied);
        const bool leftSomething =
            QFileInfo::exists(applied) || QFileInfo::exists(m_dir.filePath("x.pl"));
        removeBundleCopy(applied); // so that a failure here does not fail the next row
        QVERIFY(std::holds_alternative<PatchProblem>(result));
        QVERIFY(!leftSomething);
    }

    // No patch published for another build than the image's, none made with refused modes.
    void releaseCommand() {
        const UpdateServer production = UpdateServer::production();
        const QString server =
            "https://" + production.host +
            (production.port == 443 ? "" : ':' + QString::number(production.port)) + '/';
        const QString version = *platform::infoPlistString(m_new, "CFBundleShortVersionString");
        // Signed, as the stand-in codesign reads it: the manifest command checks the seal.
        QVERIFY(QDir().mkpath(m_new + "/Contents/_CodeSignature") &&
                TestBundle::writeFile(m_new + "/Contents/_CodeSignature/CodeResources", "sealed\n",
                                      0644));
        QCOMPARE(run("tar", {"-cf", m_dir.filePath("a.dmg"), "-C", m_dir.filePath("new"), "."}), 0);
        QProcess tool;
        const auto release = [&](const QStringList& arguments) {
            tool.start(RELEASE_TOOL, arguments);
            return tool.waitForFinished(60000) ? tool.exitCode() : -1;
        };
        for (const QString& to : {m_old, m_new}) {
            QCOMPARE(
                release({"delta", "--from", m_old, "--to", to, "--output", m_dir.filePath("p")}),
                0);
            QCOMPARE(release({"manifest", m_dir.filePath("a.dmg"), "--version", version, "--url",
                              server + "a.dmg", "--delta-from", version, "--delta",
                              m_dir.filePath("p"), "--delta-url", server + "p"}),
                     to == m_old ? 1 : 0);
        }
        QCOMPARE(run("chmod", {"g+w", m_new + "/Contents/Info.plist"}), 0);
        QCOMPARE(
            release({"delta", "--from", m_old, "--to", m_new, "--output", m_dir.filePath("q")}), 1);
        const QByteArray said = tool.readAllStandardError();
        QVERIFY(said.count('\n') == 1 && said.contains("Info.plist has mode 0664"));
        QVERIFY(!QFile::exists(m_dir.filePath("q")));
    }
};

QTEST_GUILESS_MAIN(TestPatches)
#include "tst_patches.moc"
