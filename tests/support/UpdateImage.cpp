#include "UpdateImage.h"

#include "TestBundle.h"

#include <QDataStream>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

namespace veldra::test {

QString fakesDir() {
    return VELDRA_FAKES_DIR;
}

SystemTools fakeTools() {
    SystemTools tools = systemTools(fakesDir()); // as the Linux demo's build names them
    // Real zsh: /bin/zsh on macOS, /usr/bin/zsh on Debian.
    tools.zsh = QStandardPaths::findExecutable("zsh");
    return tools;
}

// The head of a Mach-O executable, as the loader reads it: thin 64-bit for
// one architecture, a fat table for more.
QByteArray machOHead(const QStringList& architectures) {
    const auto cpuType = [](const QString& name) {
        return name == "arm64" ? quint32(0x0100000c) : quint32(0x01000007);
    };
    QByteArray head;
    QDataStream out(&head, QIODevice::WriteOnly); // big-endian, as a fat table is
    if (architectures.size() == 1) {
        out.setByteOrder(QDataStream::LittleEndian);
        out << quint32(0xfeedfacf) << cpuType(architectures[0]) << quint32(3) << quint32(2);
    } else {
        out << quint32(0xcafebabe) << quint32(architectures.size());
        for (qsizetype i = 0; i < architectures.size(); ++i)
            out << cpuType(architectures[i]) << quint32(3) << quint32(4096 * (i + 1))
                << quint32(4096) << quint32(12);
    }
    return head + QByteArray(64, '\0');
}

bool makeApp(const QString& app, const AppSpec& spec) {
    const QString plist =
        QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                "version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>%1"
                "</string><key>CFBundleShortVersionString</key><string>%2</string>"
                "<key>CFBundleExecutable</key><string>VeldraCloudDesktop</string>%3"
                "</dict></plist>\n")
            .arg(spec.bundleId, spec.version,
                 spec.minimumSystemVersion.isEmpty() ? QString()
                                                     : "<key>LSMinimumSystemVersion</key><string>" +
                                                           spec.minimumSystemVersion + "</string>");
    const QByteArray executable = machOHead(spec.architectures.split(' '));
    return QDir().mkpath(app + "/Contents/MacOS") &&
           QDir().mkpath(app + "/Contents/_CodeSignature") &&
           TestBundle::writeFile(app + "/Contents/Info.plist", plist.toUtf8(), 0644) &&
           TestBundle::writeFile(app + "/Contents/MacOS/VeldraCloudDesktop", executable, 0755) &&
           TestBundle::writeFile(app + "/Contents/Resources.marker", spec.marker.toUtf8(), 0644) &&
           TestBundle::writeFile(app + "/Contents/_CodeSignature/CodeResources", spec.seal.toUtf8(),
                                 0644);
}

bool makeUpdateImage(const QString& imagePath, const AppSpec& spec) {
    QTemporaryDir volume;
    if (!makeApp(volume.filePath(veldra::platform::kBundleFileName), spec))
        return false;
    QProcess tar;
    tar.start("tar", spec.tarOptions + QStringList{"-cf", imagePath, "-C", volume.path(), "."});
    return tar.waitForFinished(30000) && tar.exitCode() == 0;
}

QByteArray imageBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

bool runMinisign(const QString& dir, const QStringList& arguments) {
    QProcess minisign;
    minisign.setWorkingDirectory(dir);
    minisign.start("minisign", arguments);
    minisign.closeWriteChannel();
    return minisign.waitForFinished(30000) && minisign.exitCode() == 0;
}

std::optional<MinisignKey> minisignPublicKey(const QString& pubFile) {
    QFile pub(pubFile);
    return pub.open(QIODevice::ReadOnly)
               ? parseMinisignPublicKey(QString::fromLatin1(pub.readAll().split('\n').value(1)))
               : std::nullopt;
}

InstallSandbox::InstallSandbox()
    : m_dir(QDir::tempPath() + "/Apps 'single' \"double\" back\\slash-XXXXXX"),
      log(m_dir.filePath("tools.log")), volumes(m_dir.filePath("Volumes")),
      temp(m_dir.filePath("tmp")),
      installed(m_dir.filePath("Applications/") + veldra::platform::kBundleFileName) {
    m_ready = QDir().mkpath(volumes) && QDir().mkpath(temp) &&
              makeApp(installed, {.version = "2.0", .marker = "old"});
    qputenv("VELDRA_FAKE_LOG", QFile::encodeName(log));
    qputenv("VELDRA_FAKE_VOLUMES", QFile::encodeName(volumes));
    qunsetenv("VELDRA_FAKE_OSASCRIPT");
    qunsetenv("VELDRA_FAKE_OSASCRIPT_DURING");
    qunsetenv("VELDRA_FAKE_OPEN");
}

QString InstallSandbox::installedMarker() const {
    QFile marker(installed + "/Contents/Resources.marker");
    return marker.open(QIODevice::ReadOnly) ? QString::fromUtf8(marker.readAll()) : QString();
}

QStringList InstallSandbox::toolLog() const {
    QFile file(log);
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
               : QStringList();
}

QStringList InstallSandbox::tempFiles() const {
    return QDir(temp).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::mountedVolumes() const {
    return QDir(volumes).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::applications() const {
    return QDir(m_dir.filePath("Applications"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace veldra::test
