#include "MachOFiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>

namespace veldra::test {

namespace {

// Debian ships ld64.lld and llvm-lipo only under versioned names or in
// /usr/lib/llvm-N/bin; the plain name wins when there is one.
QString findLlvmTool(const QString& name) {
    if (QString path = QStandardPaths::findExecutable(name); !path.isEmpty())
        return path;
    QFileInfoList llvms = QDir("/usr/lib").entryInfoList({"llvm-*"}, QDir::Dirs);
    std::sort(llvms.begin(), llvms.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.fileName().mid(5).toInt() > b.fileName().mid(5).toInt(); // newest first
    });
    QStringList bins;
    for (const QFileInfo& llvm : llvms)
        bins << llvm.filePath() + "/bin";
    return QStandardPaths::findExecutable(name, bins);
}

bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    const QByteArray out = process.readAll();
    if (!ok)
        qWarning().noquote() << "makeMachOFiles:" << program << arguments.join(' ')
                             << "failed:" << process.errorString() << out;
    if (output)
        *output = out;
    return ok;
}

// llvm-lipo before 15 cannot write fat64, so lay the file out as lipo would:
// big-endian header and fat_arch_64 table, each slice on its CPU's page size.
bool writeFat64(const QString& output, const QStringList& thinFiles) {
    constexpr quint32 kFatMagic64 = 0xcafebabf;
    constexpr quint32 kCpuTypeArm64 = 0x0100000c;
    constexpr qsizetype kEntrySize = 32;
    QByteArray fat(8 + thinFiles.size() * kEntrySize, '\0');
    qToBigEndian<quint32>(kFatMagic64, fat.data());
    qToBigEndian<quint32>(quint32(thinFiles.size()), fat.data() + 4);
    for (qsizetype i = 0; i < thinFiles.size(); ++i) {
        QFile thin(thinFiles[i]);
        const QByteArray slice = thin.open(QIODevice::ReadOnly) ? thin.readAll() : QByteArray();
        if (slice.size() < 32) // not even a mach_header_64
            return false;
        // cputype and cpusubtype straight from the little-endian thin header
        const auto cpuType = qFromLittleEndian<quint32>(slice.constData() + 4);
        const auto cpuSubtype = qFromLittleEndian<quint32>(slice.constData() + 8);
        const quint32 align = cpuType == kCpuTypeArm64 ? 14 : 12; // 16 KiB or 4 KiB pages
        const qsizetype page = qsizetype(1) << align;
        const qsizetype offset = (fat.size() + page - 1) / page * page;
        char* entry = fat.data() + 8 + i * kEntrySize;
        qToBigEndian<quint32>(cpuType, entry);
        qToBigEndian<quint32>(cpuSubtype, entry + 4);
        qToBigEndian<quint64>(quint64(offset), entry + 8);
        qToBigEndian<quint64>(quint64(slice.size()), entry + 16);
        qToBigEndian<quint32>(align, entry + 24); // reserved at +28 stays zero
        fat.append(QByteArray(offset - fat.size(), '\0'));
        fat.append(slice);
    }
    QFile file(output);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(fat) == fat.size();
}

} // namespace

std::optional<MachOFiles> makeMachOFiles(const QString& directory) {
    const QString clang = findLlvmTool("clang");
    const QString ld64 = findLlvmTool("ld64.lld");
    const QString lipo = findLlvmTool("llvm-lipo");
    if (clang.isEmpty() || ld64.isEmpty() || lipo.isEmpty()) {
        qWarning()
            << "makeMachOFiles: needs clang, ld64.lld and llvm-lipo (apt-get install lld llvm)";
        return std::nullopt;
    }
    const QDir dir(directory);
    const QString source = dir.filePath("main.c");
    QFile sourceFile(source);
    if (!sourceFile.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        sourceFile.write("int main(void) { return 0; }\n") < 0)
        return std::nullopt;
    sourceFile.close();

    MachOFiles files{dir.filePath("thin-x86_64"), dir.filePath("thin-arm64"), dir.filePath("fat"),
                     dir.filePath("fat64")};
    const QList<std::pair<QString, QString>> thins{{"x86_64", files.x86_64},
                                                   {"arm64", files.arm64}};
    for (const auto& [arch, output] : thins) {
        const QString object = output + ".o";
        // An entry point of our own spares linking libSystem, hence no SDK.
        if (!run(clang, {"-target", arch + "-apple-macos12", "-c", source, "-o", object}) ||
            !run(ld64, {"-arch", arch, "-platform_version", "macos", "12.0", "12.0", "-e", "_main",
                        "-o", output, object}))
            return std::nullopt;
    }
    if (!run(lipo, {"-create", files.x86_64, files.arm64, "-output", files.fat}))
        return std::nullopt;

    QByteArray help;
    if (!run(lipo, {"--help"}, &help))
        return std::nullopt;
    if (help.contains("-fat64")) {
        if (!run(lipo, {"-create", "-fat64", files.x86_64, files.arm64, "-output", files.fat64}))
            return std::nullopt;
    } else if (!writeFat64(files.fat64, {files.x86_64, files.arm64})) {
        qWarning() << "makeMachOFiles: cannot write" << files.fat64;
        return std::nullopt;
    }
    // llvm-lipo reads fat64 even where it cannot write it: its word, not ours,
    // that the file holds both slices.
    QByteArray archs;
    if (!run(lipo, {"-archs", files.fat64}, &archs))
        return std::nullopt;
    if (archs.simplified() != "x86_64 arm64") {
        qWarning() << "makeMachOFiles: llvm-lipo reads" << archs << "from" << files.fat64;
        return std::nullopt;
    }
    return files;
}

} // namespace veldra::test
