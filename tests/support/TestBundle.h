#pragma once

#include "platform/Bundle.h"
#include "updater/installing/Installer.h"
#include "updater/offer/Minisign.h"

#include <QStringList>
#include <QTemporaryDir>

namespace veldra::test {

// A throw-away "Test.app" whose Contents/MacOS can hold fake client programs.
class TestBundle {
public:
    TestBundle();
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_bundle; }
    QString macOSDir() const { return m_bundle + QStringLiteral("/Contents/MacOS"); }
    QString scratch() const { return m_dir.path(); }

    // Writes an executable shell script named `name` into Contents/MacOS.
    QString addScript(const QString& name, const QByteArray& body) const;
    // Writes a file with the given bytes and mode.
    static bool writeFile(const QString& path, const QByteArray& bytes, int mode);

private:
    QTemporaryDir m_dir;
    QString m_bundle;
};

// Fake FreeRDP clients, one per outcome the launcher must handle. Each is a
// /bin/sh body; "$VELDRA_FAKE_DIR" is where a fake may leave evidence.
namespace fake {
inline constexpr auto keepsRunning = "echo $$ > \"$VELDRA_FAKE_DIR/pid\"\nexec sleep 30\n";
inline constexpr auto exitsSilently = "exit 0\n";
inline constexpr auto exits131 = "echo 'ERRCONNECT_CONNECT_FAILED: the server refused'\nexit 131\n";
inline constexpr auto killedBySignal = "kill -KILL $$\n";
// Records argv (NUL-separated), stdin and environment byte for byte, then runs on.
inline constexpr auto recorder = "printf '%s\\0' \"$@\" > \"$VELDRA_FAKE_DIR/argv\"\n"
                                 "cat > \"$VELDRA_FAKE_DIR/stdin\"\n"
                                 "env -0 > \"$VELDRA_FAKE_DIR/env\"\n"
                                 "echo $$ > \"$VELDRA_FAKE_DIR/pid\"\n"
                                 "exec sleep 30\n";
} // namespace fake

// Polls `condition` while running the event loop; true if it held in time.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

void killPid(qint64 pid); // SIGKILL, if it is still there
bool pidAlive(qint64 pid);

// An application bundle as an update image may carry it.
struct AppSpec {
    QString bundleId = "com.veldra.clouddesktop";
    QString version = "2.1";
    QString architectures = "x86_64";  // the executable's, separated by spaces
    QString seal = "sealed\n";         // what the fake codesign reads; "" is unsigned
    QString marker = "new";            // a file inside, to tell copies apart
    QString minimumSystemVersion = {}; // LSMinimumSystemVersion; empty: none
    QStringList tarOptions = {};       // more for the tar that makes the image
};

// The head of a Mach-O executable holding those architectures.
QByteArray machOHead(const QStringList& architectures);
bool makeApp(const QString& bundlePath, const AppSpec& spec);
// A test disk image: a tar archive of a volume holding the application.
bool makeUpdateImage(const QString& imagePath, const AppSpec& spec);
// `size` bytes of repeatable pseudo-random image content.
QByteArray imageBytes(qsizetype size);
// Runs the real minisign in `dir`; true when it succeeded.
bool runMinisign(const QString& dir, const QStringList& arguments);
// The key of a minisign.pub file, and its id as the file's first line names it, with the
// leading zeros that line leaves out.
std::optional<MinisignKey> minisignPublicKey(const QString& pubFile);
QString minisignKeyId(const QString& pubFile);

// A fake install place, named to test every quoting layer: a 2.0 ("old") under Applications, a
// temporary folder, and the stand-ins' log and Volumes folder (set in this process's environment).
class InstallSandbox {
    QTemporaryDir m_dir; // first: the paths below are made from it
    bool m_ready = false;

public:
    InstallSandbox();
    bool isReady() const { return m_ready; }
    const QString log, volumes, temp, installed;
    // An installer of `installed` by the stand-ins, as root unless `writable`.
    Installer::Configuration configuration(bool writable,
                                           std::function<void()> finished = {}) const;
    QString installedMarker() const;
    QStringList toolLog() const;
    QStringList tempFiles() const;
    QStringList mountedVolumes() const;
    QStringList applications() const; // the Applications folder, hidden entries too
};

// The stand-ins of tests/support/fakes in place of the macOS programs.
SystemTools fakeTools();
QString fakesDir();

} // namespace veldra::test
