#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace veldra {

inline constexpr std::int64_t kClientLogCap = 2'097'152;
inline constexpr std::int64_t kExcerptWindow = 16'384;
inline constexpr qsizetype kExcerptLength = 420;

// An open, writable descriptor of the log, positioned at its end; closes itself.
class LogHandle {
public:
    LogHandle() = default;
    explicit LogHandle(int fd) : m_fd(fd) {}
    ~LogHandle() { close(); }
    LogHandle(LogHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    LogHandle& operator=(LogHandle&& other) noexcept;
    LogHandle(const LogHandle&) = delete;
    LogHandle& operator=(const LogHandle&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // Makes what was written durable, then closes; failures are ignored.
    void synchronizeAndClose();
    void close();

private:
    int m_fd = -1;
};

struct OpenedLog {
    LogHandle handle;              // not open when logging is impossible
    std::uint64_t startOffset = 0; // file length before the start line
};

// The client's output file: capped, private to the user, one record per launch.
class ClientLog {
public:
    explicit ClientLog(QString filePath) : m_path(std::move(filePath)) {}

    const QString& logFileURL() const { return m_path; }

    // Prepares the file and writes the launch's redacted start line. Never fails
    // towards the caller: an unusable log yields no handle and offset 0.
    OpenedLog openLogFile(const QStringList& arguments,
                          const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

    // The last three plain lines the client wrote after the offset, joined by
    // spaces and cut to 420 characters; empty when there is nothing usable.
    QString recentClientOutput(std::uint64_t startOffset) const;

    // The start line for a launch, line feeds included.
    static QByteArray startLine(const QStringList& arguments, const QDateTime& now);

private:
    QString m_path;
};

// "<library>/Logs/Veldra Cloud Desktop/freerdp.log"
QString clientLogPath(const QString& libraryDirectory);

} // namespace veldra
