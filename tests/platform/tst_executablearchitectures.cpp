// Which of our architectures an executable holds, read from its header (lipo is a stub
// on Macs without the developer tools) by the application and by the install script.
#include "Rows.h"
#include "TestBundle.h"
#include "UpdateImage.h"
#include "platform/ExecutableArchitectures.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace veldra::platform;
using namespace veldra::test;

namespace {

constexpr quint32 kX86_64 = 0x01000007, kArm64 = 0x0100000c, kArm64_32 = 0x0200000c, kI386 = 7;

QByteArray bigEndian(const QList<quint32>& words) {
    QByteArray bytes(words.size() * 4, '\0');
    for (qsizetype i = 0; i < words.size(); ++i)
        qToBigEndian(words[i], bytes.data() + i * 4);
    return bytes;
}

QString names(const QList<Architecture>& architectures) {
    QStringList names;
    for (Architecture architecture : architectures)
        names << lipoArchitectureName(architecture);
    return names.join(' ');
}

} // namespace

class TestExecutableArchitectures : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QByteArray read(const QString& path) const {
        QFile file(QDir(m_dir.path()).filePath(path)); // an absolute path stays
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    // Real, linked macOS executables with Debian's LLVM (an entry point of
    // their own, so that no SDK is needed); llvm-lipo 14 writes no fat64.
    void initTestCase() {
        QCOMPARE(QProcess::execute("sh", {"-ec", R"(PATH=/usr/lib/llvm-14/bin:$PATH; cd "$1"
            echo 'int main(void) { return 0; }' >main.c
            for arch in x86_64 arm64; do
              clang -target $arch-apple-macos12 -c main.c -o $arch.o
              ld64.lld -arch $arch -platform_version macos 12.0 12.0 -e _main -o thin-$arch $arch.o
            done
            llvm-lipo -create thin-x86_64 thin-arm64 -output fat)",
                                          "sh", m_dir.path()}),
                 0);
    }

    void architectures_data() {
        // script: the install script's reader agrees (it checks no slice offsets)
        columns<QByteArray, QString, bool>("bytes", "expected", "script");
        row("thin x86_64", read("thin-x86_64"), "x86_64", true);
        row("thin arm64", read("thin-arm64"), "arm64", true);
        row("fat", read("fat"), "x86_64 arm64", true);
        QByteArray fat64 = bigEndian({0xcafebabf, 2});
        for (const quint32 cpu : {kX86_64, kArm64}) // cputype, subtype, offset, size, align
            fat64 += bigEndian({cpu, 0, 0, cpu == kArm64 ? 0x8000u : 0x4000u, 0, 0x1000, 14, 0});
        row("fat64", fat64, "x86_64 arm64", true);
        row("fat table cut short", machOHead({"x86_64", "arm64"}).left(44), "", false);
        // A Java 21 class file: minor 0, major 65 where nfat_arch would be.
        row("Java 21 class file", machOHead(QStringList(65, "x86_64")), "", true);
        // Java 8 (major 52) passes the count; its "slices" overlap the table.
        row("Java 8 class file",
            bigEndian({0xcafebabe, 52}) + bigEndian({kX86_64, 0, 0, 1, 0}).repeated(52), "", false);
        row("fat, only foreign types",
            bigEndian(
                {0xcafebabe, 2, kI386, 0, 0x1000, 0x1000, 12, kArm64_32, 0, 0x2000, 0x1000, 12}),
            "", true);
        // arm64_32 (watchOS) has a 32-bit header: MH_MAGIC, little-endian.
        row("thin arm64_32", QByteArray("\xce\xfa\xed\xfe\x0c\0\0\x02", 8) + QByteArray(20, 0), "",
            true);
#if !defined(__APPLE__)
        // The Linux demo bundles carry Linux programs.
        row("ELF, the shell", read("/bin/sh"), lipoArchitectureName(kBuildArchitecture), true);
#endif
    }

    void architectures() {
        auto [bytes, expected, script] =
            fetch<QByteArray, QString, bool>("bytes", "expected", "script");
        // An exact-size copy, so that reading past the end trips ASan.
        QCOMPARE(names(executableArchitectures(QByteArray(bytes.constData(), bytes.size()))),
                 expected);
        const QString path = m_dir.filePath(QTest::currentDataTag());
        QVERIFY(TestBundle::writeFile(path, bytes, 0644));
        QCOMPARE(names(executableArchitecturesOfFile(path).value_or(QList<Architecture>{})),
                 expected);
        const QString hasArch = veldra::scriptFunctions(fakeTools(), {"bytes_at", "has_arch"}) +
                                "\nhas_arch \"$1\" \"$2\"";
        for (const QString arch : {"x86_64", "arm64"})
            if (script)
                QCOMPARE(QProcess::execute(fakeTools().zsh, {"-fc", hasArch, "zsh", path, arch}) ==
                             0,
                         expected.contains(arch));
    }
};

QTEST_GUILESS_MAIN(TestExecutableArchitectures)
#include "tst_executablearchitectures.moc"
