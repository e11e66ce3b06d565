#include "UpdateImage.h"

#include "TestBundle.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace veldra::test {

QString fakesDir() {
    return QStringLiteral(VELDRA_FAKES_DIR);
}

SystemTools fakeTools() {
    SystemTools tools;
    const QString dir = fakesDir();
    tools.hdiutil = dir + QStringLiteral("/hdiutil");
    tools.codesign = dir + QStringLiteral("/codesign");
    tools.lipo = dir + QStringLiteral("/lipo");
    tools.osascript = dir + QStringLiteral("/osascript");
    tools.ditto = dir + QStringLiteral("/ditto");
    tools.xattr = dir + QStringLiteral("/xattr");
    tools.open = dir + QStringLiteral("/open");
    // Real zsh: /bin/zsh on macOS, /usr/bin/zsh on Debian.
    tools.zsh = QStandardPaths::findExecutable(QStringLiteral("zsh"));
    return tools;
}

bool makeApp(const QString& app, const AppSpec& spec) {
    if (!QDir().mkpath(app + QStringLiteral("/Contents/MacOS")) ||
        !QDir().mkpath(app + QStringLiteral("/Contents/_CodeSignature")))
        return false;
    bool ok = TestBundle::writeFile(app + QStringLiteral("/Contents/Resources.marker"),
                                    spec.marker.toUtf8(), 0644);
    if (spec.padding > 0)
        ok = ok && TestBundle::writeFile(app + QStringLiteral("/Contents/Resources.padding"),
                                         QByteArray(spec.padding, 'p'), 0644);
    if (spec.hasInfoPlist) {
        const QString plist =
            QStringLiteral(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>CFBundleIdentifier</key><string>%1</string>"
                "<key>CFBundleShortVersionString</key><string>%2</string>"
                "<key>CFBundleExecutable</key><string>VeldraCloudDesktop</string>%3"
                "</dict></plist>\n")
                .arg(spec.bundleId.toHtmlEscaped(), spec.version.toHtmlEscaped(),
                     spec.minimumSystemVersion.isEmpty()
                         ? QString()
                         : QStringLiteral("<key>LSMinimumSystemVersion</key><string>%1</string>")
                               .arg(spec.minimumSystemVersion.toHtmlEscaped()));
        ok = ok && TestBundle::writeFile(app + QStringLiteral("/Contents/Info.plist"),
                                         plist.toUtf8(), 0644);
    }
    if (spec.hasExecutable)
        ok = ok &&
             TestBundle::writeFile(
                 app + QStringLiteral("/Contents/MacOS/VeldraCloudDesktop"),
                 "#!/bin/sh\n# architectures: " + spec.architectures.toUtf8() + "\nexit 0\n", 0755);
    if (spec.isSigned)
        ok = ok && TestBundle::writeFile(
                       app + QStringLiteral("/Contents/_CodeSignature/CodeResources"),
                       "sealed\n" + (spec.satisfies.isEmpty()
                                         ? QByteArray()
                                         : "satisfies: " + spec.satisfies.toUtf8() + "\n"),
                       0644);
    return ok;
}

bool makeUpdateImage(const QString& imagePath, const AppSpec& spec) {
    QTemporaryDir volume;
    if (!makeApp(volume.path() + QLatin1Char('/') + spec.folderName, spec))
        return false;
    QProcess tar;
    tar.start(QStringLiteral("tar"), {QStringLiteral("-cf"), imagePath, QStringLiteral("-C"),
                                      volume.path(), QStringLiteral(".")});
    return tar.waitForFinished(30000) && tar.exitCode() == 0;
}

QByteArray imageBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

bool runMinisign(const QString& dir, const QStringList& arguments) {
    QProcess minisign;
    minisign.setWorkingDirectory(dir);
    minisign.setProcessChannelMode(QProcess::MergedChannels);
    minisign.start(QStringLiteral("minisign"), arguments);
    minisign.closeWriteChannel();
    return minisign.waitForFinished(30000) && minisign.exitCode() == 0;
}

std::optional<MinisignKey> minisignPublicKey(const QString& pubFile) {
    QFile pub(pubFile);
    if (!pub.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseMinisignPublicKey(QString::fromLatin1(pub.readAll().split('\n').value(1)));
}

InstallSandbox::InstallSandbox()
    : log(m_dir.path() + QStringLiteral("/tools.log")),
      volumes(m_dir.path() + QStringLiteral("/Volumes")),
      temp(m_dir.path() + QStringLiteral("/tmp")),
      installed(m_dir.path() + QStringLiteral("/Applications/Veldra Cloud Desktop.app")) {
    AppSpec old;
    old.version = QStringLiteral("2.0");
    old.marker = QStringLiteral("old");
    m_ready = QDir().mkpath(volumes) && QDir().mkpath(temp) && makeApp(installed, old);
    qputenv("VELDRA_FAKE_LOG", QFile::encodeName(log));
    qputenv("VELDRA_FAKE_VOLUMES", QFile::encodeName(volumes));
    for (const char* name :
         {"VELDRA_FAKE_HDIUTIL", "VELDRA_FAKE_HDIUTIL_PAD", "VELDRA_FAKE_OSASCRIPT"})
        qunsetenv(name);
}

QString InstallSandbox::installedMarker() const {
    QFile marker(installed + QStringLiteral("/Contents/Resources.marker"));
    return marker.open(QIODevice::ReadOnly) ? QString::fromUtf8(marker.readAll()) : QString();
}

QStringList InstallSandbox::toolLog() const {
    QFile file(log);
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
               : QStringList();
}

QStringList InstallSandbox::tempFiles() const {
    return QDir(temp).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::mountedVolumes() const {
    return QDir(volumes).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::applications() const {
    return QDir(m_dir.path() + QStringLiteral("/Applications"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace veldra::test
