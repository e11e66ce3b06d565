// Which of our architectures an executable holds, read from its header
// rather than from lipo (a stub on Macs without the developer tools), by the
// application and by the install script.
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "platform/ExecutableArchitectures.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace veldra::platform;
using namespace veldra::test;
using veldra::test::TestBundle;

namespace {

constexpr quint32 kX86_64 = 0x01000007, kArm64 = 0x0100000c, kArm64_32 = 0x0200000c, kI386 = 7;

QByteArray bigEndian(const QList<quint32>& words) {
    QByteArray bytes(words.size() * 4, '\0');
    for (qsizetype i = 0; i < words.size(); ++i)
        qToBigEndian(words[i], bytes.data() + i * 4);
    return bytes;
}

// Slices lie where lipo would put them, so only the count or the CPU types
// decide the answer.
QByteArray fatHeader(quint32 count, const QList<quint32>& cpuTypes) {
    QByteArray bytes = bigEndian({0xcafebabe, count});
    for (qsizetype i = 0; i < cpuTypes.size(); ++i) // cputype, subtype, offset, size, align
        bytes += bigEndian({cpuTypes[i], 0, quint32(i + 1) << 12, 0x1000, 12});
    return bytes;
}

// Runs Debian's clang, ld64.lld or llvm-lipo (packages clang, lld, llvm; the
// last two named plainly only in LLVM's own folder).
bool llvm(const QString& tool, const QStringList& arguments) {
    const QString own = QStandardPaths::findExecutable(tool, {"/usr/lib/llvm-14/bin"});
    QProcess process;
    process.start(own.isEmpty() ? QStandardPaths::findExecutable(tool) : own, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(tool), process.readAllStandardError().constData());
    return ok;
}

QStringList names(const QList<Architecture>& architectures) {
    QStringList names;
    for (Architecture architecture : architectures)
        names << lipoArchitectureName(architecture);
    return names;
}

} // namespace

class TestExecutableArchitectures : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    // Real, linked macOS executables (an empty main, an entry point of its own
    // so that no SDK is needed): thin x86_64, thin arm64 and fat. llvm-lipo 14
    // writes no fat64.
    void initTestCase() {
        QVERIFY(TestBundle::writeFile(m_dir.filePath("main.c"), "int main(void) { return 0; }\n",
                                      0644));
        for (const QString arch : {"x86_64", "arm64"})
            QVERIFY(llvm("clang", {"-target", arch + "-apple-macos12", "-c",
                                   m_dir.filePath("main.c"), "-o", m_dir.filePath(arch + ".o")}) &&
                    llvm("ld64.lld", {"-arch", arch, "-platform_version", "macos", "12.0", "12.0",
                                      "-e", "_main", "-o", m_dir.filePath("thin-" + arch),
                                      m_dir.filePath(arch + ".o")}));
        QVERIFY(
            llvm("llvm-lipo", {"-create", m_dir.filePath("thin-x86_64"),
                               m_dir.filePath("thin-arm64"), "-output", m_dir.filePath("fat")}));
    }

    void architectures_data() {
        // path: empty: the file is `bytes`
        columns<QString, QByteArray, QStringList>("path", "bytes", "expected");
        const auto file = [](const char* tag, const QString& path, const QStringList& expected) {
            QTest::newRow(tag) << path << QByteArray() << expected;
        };
        const auto crafted = [](const char* tag, const QByteArray& bytes) {
            QTest::newRow(tag) << QString() << bytes << QStringList();
        };
        file("thin x86_64", m_dir.filePath("thin-x86_64"), {"x86_64"});
        file("thin arm64", m_dir.filePath("thin-arm64"), {"arm64"});
        file("fat", m_dir.filePath("fat"), {"x86_64", "arm64"});
        QByteArray fat64 = bigEndian({0xcafebabf, 2});
        for (const quint32 cpu : {kX86_64, kArm64}) // cputype, subtype, offset, size, align
            fat64 += bigEndian({cpu, 0, 0, cpu == kArm64 ? 0x8000u : 0x4000u, 0, 0x1000, 14, 0});
        QTest::newRow("fat64") << QString() << fat64 << QStringList{"x86_64", "arm64"};
        crafted("fat table cut short", fatHeader(2, {kX86_64, kArm64}).chopped(4));
        // A Java 21 class file: minor 0, major 65 where nfat_arch would be.
        crafted("Java 21 class file", fatHeader(65, QList<quint32>(65, kX86_64)));
        // Java 8 (major 52) passes the count; its "slices" overlap the table.
        crafted("Java 8 class file",
                bigEndian({0xcafebabe, 52}) + bigEndian({kX86_64, 0, 0, 1, 0}).repeated(52));
        crafted("fat, only foreign types", fatHeader(2, {kI386, kArm64_32}));
        // arm64_32 (watchOS) has a 32-bit header: MH_MAGIC, little-endian.
        crafted("thin arm64_32", QByteArray("\xce\xfa\xed\xfe\x0c\0\0\x02", 8) + QByteArray(20, 0));
#if !defined(__APPLE__)
        // The Linux demo bundles carry Linux programs.
        file("ELF /bin/sh", "/bin/sh", {lipoArchitectureName(kBuildArchitecture)});
#endif
    }

    void architectures() {
        auto [path, bytes, expected] =
            fetch<QString, QByteArray, QStringList>("path", "bytes", "expected");
        if (path.isEmpty()) {
            // An exact-size copy, so that reading past the end trips ASan.
            QCOMPARE(names(executableArchitectures(QByteArray(bytes.constData(), bytes.size()))),
                     expected);
            path = m_dir.filePath(QTest::currentDataTag());
            QVERIFY(TestBundle::writeFile(path, bytes, 0644));
        }
        QCOMPARE(names(executableArchitecturesOfFile(path).value_or(QList<Architecture>{})),
                 expected);
        // The install script's own reader agrees on every real file.
        for (const QString arch : {"x86_64", "arm64"})
            if (!bytes.size())
                QCOMPARE(QProcess::execute(veldra::test::fakeTools().zsh,
                                           {"-fc",
                                            veldra::scriptFunctions(veldra::test::fakeTools(),
                                                                    {"bytes_at", "has_arch"}) +
                                                "\nhas_arch \"$1\" \"$2\"",
                                            "zsh", path, arch}) == 0,
                         expected.contains(arch));
    }
};

QTEST_GUILESS_MAIN(TestExecutableArchitectures)
#include "tst_executablearchitectures.moc"
