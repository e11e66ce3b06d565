#include "MachOFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace veldra::test {

namespace {

// Debian names ld64.lld and llvm-lipo plainly only in LLVM's own folder.
QString llvmTool(const QString& name) {
    const QString own = QStandardPaths::findExecutable(name, {"/usr/lib/llvm-14/bin"});
    return own.isEmpty() ? QStandardPaths::findExecutable(name) : own;
}

bool run(const QString& tool, const QStringList& arguments) {
    QProcess process;
    process.start(llvmTool(tool), arguments);
    const bool ok = process.waitForFinished(60000) && process.exitCode() == 0;
    if (!ok)
        qWarning("%s %s: %s", qPrintable(tool), qPrintable(arguments.join(' ')),
                 process.readAllStandardError().constData());
    return ok;
}

} // namespace

std::optional<MachOFiles> makeMachOFiles(const QString& directory) {
    const QDir dir(directory);
    const MachOFiles files{dir.filePath("thin-x86_64"), dir.filePath("thin-arm64"),
                           dir.filePath("fat")};
    QFile source(dir.filePath("main.c"));
    if (!source.open(QIODevice::WriteOnly) || source.write("int main(void) { return 0; }\n") < 0)
        return std::nullopt;
    source.close();
    for (const auto& [arch, output] : {std::pair{"x86_64", files.x86_64}, {"arm64", files.arm64}})
        // An entry point of our own spares linking libSystem, hence no SDK.
        if (!run("clang", {"-target", QString(arch) + "-apple-macos12", "-c", source.fileName(),
                           "-o", output + ".o"}) ||
            !run("ld64.lld", {"-arch", arch, "-platform_version", "macos", "12.0", "12.0", "-e",
                              "_main", "-o", output, output + ".o"}))
            return std::nullopt;
    if (!run("llvm-lipo", {"-create", files.x86_64, files.arm64, "-output", files.fat}))
        return std::nullopt;
    return files;
}

} // namespace veldra::test
