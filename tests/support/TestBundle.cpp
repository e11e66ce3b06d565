#include "TestBundle.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

namespace veldra::test {

TestBundle::TestBundle() : m_bundle(m_dir.path() + QStringLiteral("/Test.app")) {
    QDir().mkpath(macOSDir());
}

bool TestBundle::writeFile(const QString& path, const QByteArray& bytes, int mode) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool ok = file.write(bytes) == bytes.size();
    file.close();
    return ok && ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

QString TestBundle::addScript(const QString& name, const QByteArray& body) const {
    const QString path = macOSDir() + QLatin1Char('/') + name;
    writeFile(path, QByteArray("#!/bin/sh\n") + body, 0755);
    return path;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool pidAlive(qint64 pid) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    // A zombie still answers kill(0); ps tells its state on Linux and macOS alike.
    QProcess ps;
    ps.start("ps", {"-o", "stat=", "-p", QString::number(pid)});
    return !ps.waitForFinished(10000) || !ps.readAllStandardOutput().trimmed().startsWith('Z');
}

void killPid(qint64 pid) {
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

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
// one architecture (little-endian), a fat table for more (big-endian).
QByteArray machOHead(const QStringList& architectures) {
    const auto cpu = [](const QString& name) { return name == "arm64" ? 0x0100000c : 0x01000007; };
    QByteArray head;
    QDataStream out(&head, QIODevice::WriteOnly);
    if (architectures.size() == 1) {
        out.setByteOrder(QDataStream::LittleEndian);
        out << 0xfeedfacfu << cpu(architectures[0]) << 3u << 2u; // subtype ALL, an executable
    } else {
        out << 0xcafebabeu << quint32(architectures.size());
        for (qsizetype i = 0; i < architectures.size(); ++i) // type, subtype, offset, size, align
            out << cpu(architectures[i]) << 3u << quint32(4096 * (i + 1)) << 4096u << 12u;
    }
    return head + QByteArray(64, '\0');
}

bool makeApp(const QString& app, const AppSpec& spec) {
    const QString minimum = "<key>LSMinimumSystemVersion</key><string>%1</string>";
    const QString plist =
        QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>CFBundleIdentifier</key><string>%1</string><key>CFBundleShortVersionString"
                "</key><string>%2</string><key>CFBundleExecutable</key><string>VeldraCloudDesktop"
                "</string>%3</dict></plist>\n")
            .arg(spec.bundleId, spec.version,
                 spec.minimumSystemVersion.isEmpty() ? "" : minimum.arg(spec.minimumSystemVersion));
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

QString minisignKeyId(const QString& pubFile) {
    QFile pub(pubFile);
    return pub.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(pub.readLine().trimmed().split(' ').last())
                     .rightJustified(16, '0')
               : QString();
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
    for (const char* name : {"VELDRA_FAKE_OSASCRIPT", "VELDRA_FAKE_OSASCRIPT_DURING",
                             "VELDRA_FAKE_OPEN", "VELDRA_FAKE_MV", "VELDRA_FAKE_SESSION"})
        qunsetenv(name);
}

Installer::Configuration InstallSandbox::configuration(bool writable,
                                                       std::function<void()> finished) const {
    return {fakeTools(),
            "com.veldra.clouddesktop",
            installed,
            temp,
            999999,
            [writable](const QString&) { return writable; },
            std::move(finished),
            ""};
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
    return QDir(temp).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::mountedVolumes() const {
    return QDir(volumes).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

QStringList InstallSandbox::applications() const {
    return QDir(m_dir.filePath("Applications"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace veldra::test
