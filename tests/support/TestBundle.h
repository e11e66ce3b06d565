#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>

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

// Stops a process by PID (SIGKILL) if it is still there.
void killPid(qint64 pid);
bool pidAlive(qint64 pid);

} // namespace veldra::test
