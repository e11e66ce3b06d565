#include "launcher/ClientLog.h"

#include "launcher/ClientCommandLine.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veldra {

LogHandle& LogHandle::operator=(LogHandle&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void LogHandle::synchronizeAndClose() {
    if (m_fd >= 0)
        ::fsync(m_fd);
    close();
}

void LogHandle::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

QString clientLogPath(const QString& libraryDirectory) {
    return libraryDirectory + QStringLiteral("/Logs/Veldra Cloud Desktop/freerdp.log");
}

QByteArray ClientLog::startLine(const QStringList& arguments, const QDateTime& now) {
    const QString line = QStringLiteral("\n[") + now.toUTC().toString(Qt::ISODate) +
                         QStringLiteral("] Starting FreeRDP: ") + redactedArguments(arguments) +
                         QLatin1Char('\n');
    return line.toUtf8();
}

OpenedLog ClientLog::openLogFile(const QStringList& arguments, const QDateTime& now) const {
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return {};
    const QByteArray path = QFile::encodeName(m_path);

    struct stat info;
    if (::stat(path.constData(), &info) == 0 && info.st_size > kClientLogCap)
        ::unlink(path.constData());

    // A new log is readable by its owner only; an existing one keeps its mode.
    const int created = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created >= 0) {
        ::fchmod(created, 0600);
        ::close(created);
    }

    // Appending keeps the client's stdout and stderr, and our start line, in order.
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return {};
    OpenedLog opened{LogHandle(fd), 0};
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0)
        return {};
    opened.startOffset = static_cast<std::uint64_t>(end);

    const QByteArray line = startLine(arguments, now);
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n =
            ::write(fd, line.constData() + written, static_cast<size_t>(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    return opened;
}

namespace {

bool isLineBreak(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QString firstCharacters(const QString& text, qsizetype count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    qsizetype position = 0;
    while (seen < count && (position = finder.toNextBoundary()) > 0)
        ++seen;
    return seen < count ? text : text.left(position);
}

} // namespace

QString ClientLog::recentClientOutput(std::uint64_t startOffset) const {
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 length = file.size();
    if (length < 0)
        return QString();
    const auto offset = static_cast<qint64>(std::min<std::uint64_t>(startOffset, INT64_MAX));
    const qint64 start =
        length > kExcerptWindow ? std::max(length - kExcerptWindow, offset) : offset;
    if (!file.seek(start))
        return QString();
    QByteArray bytes = file.readAll();
    if (bytes.size() > kExcerptWindow)
        bytes = bytes.right(kExcerptWindow);
    // A window that starts inside the client's output may cut a multi-byte
    // character in two; its stray tail is not the client's fault, so skip it.
    if (start > offset || bytes.size() < length - start) {
        qsizetype skip = 0;
        while (skip < 3 && skip < bytes.size() &&
               (static_cast<unsigned char>(bytes[skip]) & 0xC0) == 0x80)
            ++skip;
        bytes.remove(0, skip);
    }

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QString();

    QStringList kept;
    qsizetype lineStart = 0;
    const auto takeLine = [&](qsizetype end) {
        const QString line = text.mid(lineStart, end - lineStart).trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('[')))
            kept << line;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isLineBreak(text.at(i))) {
            takeLine(i);
            lineStart = i + 1;
        }
    }
    takeLine(text.size());

    const QStringList last = kept.mid(std::max<qsizetype>(0, kept.size() - 3));
    return firstCharacters(last.join(QLatin1Char(' ')), kExcerptLength);
}

} // namespace veldra
