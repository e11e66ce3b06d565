// Patches between two builds of the bundle: applied, they give the new bundle
// exactly, modes and links too; a patch that reaches outside is refused.
#include "TestBundle.h"
#include "updater/patches/BundlePatch.h"

#include <QDir>
#include <QProcess>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

namespace {

// Every entry's path, type, mode and link target, the bundle's own folder
// too, as find sees them.
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

class TestBundlePatch : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_old, m_new;

private Q_SLOTS:
    // The old bundle is this build; the new one has its executable and its
    // update module changed at one place, as a changed line changes them, a
    // framework with a Versions/Current link, a file gone, a mode changed and
    // a read-only folder.
    void initTestCase() {
        m_old = m_dir.filePath("old.app");
        m_new = m_dir.filePath("new.app");
        QCOMPARE(run("cp", {"-a", BUNDLE_DIR, m_old}), 0);
        QCOMPARE(run("cp", {"-a", BUNDLE_DIR, m_new}), 0);
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
        QCOMPARE(run("chmod", {"555", framework + "/Versions/A"}), 0);
    }

    void appliedIsTheNewBundle() {
        const QString patch = m_dir.filePath("patch.tar");
        const auto made = makeBundlePatch(m_old, m_new, patch);
        QVERIFY(std::holds_alternative<PatchHeader>(made));
        // Nothing unchanged travels: far below the bundle's own size.
        QVERIFY2(QFileInfo(patch).size() < 20'000,
                 qPrintable(QString::number(QFileInfo(patch).size())));
        const QString applied = m_dir.filePath("applied.app");
        const auto result = applyBundlePatch(patch, m_old, applied);
        QVERIFY(std::holds_alternative<PatchHeader>(result));
        QCOMPARE(listing(applied), listing(m_new));
        QCOMPARE(run("diff", {"-r", "--no-dereference", m_new, applied}), 0);
        removeBundleCopy(applied);
        QVERIFY(!QFileInfo::exists(applied));
    }

    // A listed path that leaves the bundle: nothing is written anywhere.
    void pathOutsideRefused() {
        const QString patch = m_dir.filePath("outside.tar");
        QVERIFY(std::holds_alternative<PatchHeader>(makeBundlePatch(m_old, m_new, patch)));
        QFile file(patch);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        // The same length, so the archive stays readable.
        bytes.replace("\"Contents/Info.plist\"", "\"Contents/../../x.pl\"");
        QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();
        const QString applied = m_dir.filePath("sub/applied.app");
        QVERIFY(QDir().mkpath(m_dir.filePath("sub")));
        QVERIFY(std::holds_alternative<PatchProblem>(applyBundlePatch(patch, m_old, applied)));
        QVERIFY(!QFileInfo::exists(applied) && !QFileInfo::exists(m_dir.filePath("x.pl")));
    }
};

QTEST_GUILESS_MAIN(TestBundlePatch)
#include "tst_bundlepatch.moc"
