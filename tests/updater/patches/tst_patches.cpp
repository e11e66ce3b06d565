// Patches between two builds of the bundle: applied, they give the new bundle
// exactly, modes and links too; a patch that reaches outside is refused.
#include "Rows.h"
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
    // a folder closed to others.
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
        QCOMPARE(run("chmod", {"700", framework + "/Versions/A"}), 0);
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

    // A patch that leaves the bundle, asks for modes root must not install,
    // or whose frames do not rebuild the tree its header names: refused, and
    // nothing is left anywhere.
    void refused_data() {
        // to: the same length, so the archive stays readable
        columns<QByteArray, QByteArray>("from", "to");
        QTest::newRow("path outside")
            << QByteArray("\"Contents/Info.plist\"") << QByteArray("\"Contents/../../x.pl\"");
        QTest::newRow("group-writable file")
            << QByteArray("\"mode\":420") << QByteArray("\"mode\":436");
        QTest::newRow("world-writable folder")
            << QByteArray("\"mode\":493") << QByteArray("\"mode\":511");
        QTest::newRow("folder its owner cannot write")
            << QByteArray("\"mode\":493") << QByteArray("\"mode\":365");
        QTest::newRow("another result tree") << QByteArray("result") << QByteArray();
    }
    void refused() {
        auto [from, to] = fetch<QByteArray, QByteArray>("from", "to");
        const QString patch = m_dir.filePath("refused.tar");
        const auto made = makeBundlePatch(m_old, m_new, patch);
        QVERIFY(std::holds_alternative<PatchHeader>(made));
        if (from == "result") { // one digit of the header's result tree changed
            from = std::get<PatchHeader>(made).resultTree.toLatin1();
            to = from;
            to[0] = to[0] == '0' ? '1' : '0';
        }
        QFile file(patch);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        QVERIFY(bytes.contains(from));
        bytes.replace(from, to);
        QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        file.close();
        const QString applied = m_dir.filePath("sub/applied.app");
        QVERIFY(QDir().mkpath(m_dir.filePath("sub")));
        const auto result = applyBundlePatch(patch, m_old, applied);
        const bool leftSomething =
            QFileInfo::exists(applied) || QFileInfo::exists(m_dir.filePath("x.pl"));
        removeBundleCopy(applied); // so that a failure here does not fail the next row
        QVERIFY(std::holds_alternative<PatchProblem>(result));
        QVERIFY(!leftSomething);
    }
};

QTEST_GUILESS_MAIN(TestBundlePatch)
#include "tst_bundlepatch.moc"
