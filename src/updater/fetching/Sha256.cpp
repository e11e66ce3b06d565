#include "updater/fetching/Sha256.h"

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace veldra {

namespace {

// Written in pieces that fit a core's cache: copying a whole 1 MiB buffer
// into the page cache at once is several times slower.
constexpr qint64 kWriteSize = 256 * 1024;

platform::SystemError systemError(int code) {
    return {code, QString::fromLocal8Bit(std::strerror(code))};
}

struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

} // namespace

std::variant<QString, platform::SystemError> sha256Hex(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return systemError(errno);
    DigestContext digest;
    if (!digest.ctx || EVP_DigestInit_ex(digest.ctx, EVP_sha256(), nullptr) != 1) {
        ::close(fd);
        return platform::SystemError{ENOMEM, QStringLiteral("SHA-256 is not available.")};
    }
    const auto buffer = std::make_unique<unsigned char[]>(kDigestChunk);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), static_cast<size_t>(kDigestChunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return systemError(code);
        }
        if (n == 0)
            break;
        EVP_DigestUpdate(digest.ctx, buffer.get(), static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest.ctx, value, &length);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(value), static_cast<qsizetype>(length)).toHex());
}

QString sha256HexOfBytes(const QByteArray& bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.constData(), static_cast<size_t>(bytes.size()), value, &length, EVP_sha256(),
               nullptr);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(value), static_cast<qsizetype>(length)).toHex());
}

Sha256Stream::Sha256Stream() : m_context(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_context), EVP_sha256(), nullptr);
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_context));
}

void Sha256Stream::add(const char* data, qint64 size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_context), data, static_cast<size_t>(size));
}

QString Sha256Stream::finish() {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_context), value, &length);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(value), static_cast<qsizetype>(length)).toHex());
}

Sha256Pipeline::Sha256Pipeline(int fd) : m_fd(fd) {
    for (std::vector<char>& buffer : m_buffers)
        buffer.resize(kBufferSize);
    m_thread = std::thread([this] { run(); });
}

Sha256Pipeline::~Sha256Pipeline() {
    stop();
}

std::pair<char*, qint64> Sha256Pipeline::room() {
    if (m_filled == 0) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_pending < kBuffers; });
    }
    return {m_buffers[static_cast<size_t>(m_next)].data() + m_filled, kBufferSize - m_filled};
}

void Sha256Pipeline::commit(qint64 size) {
    m_filled += size;
    if (m_filled == kBufferSize)
        handOver();
}

void Sha256Pipeline::handOver() {
    {
        const std::lock_guard lock(m_mutex);
        m_sizes[static_cast<size_t>(m_next)] = m_filled;
        m_next = (m_next + 1) % kBuffers;
        ++m_pending;
    }
    m_filled = 0;
    m_changed.notify_all();
}

QString Sha256Pipeline::finish() {
    if (m_filled > 0)
        handOver();
    stop();
    return m_stream.finish();
}

void Sha256Pipeline::stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void Sha256Pipeline::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_pending > 0 || m_stopping; });
        if (m_pending == 0)
            return; // stopping, and everything handed over is hashed
        const auto index = static_cast<size_t>((m_next - m_pending + kBuffers) % kBuffers);
        lock.unlock();
        const char* data = m_buffers[index].data();
        for (qint64 written = 0; m_fd >= 0 && m_writeError == 0 && written < m_sizes[index];) {
            const ssize_t n =
                ::write(m_fd, data + written,
                        static_cast<size_t>(std::min(m_sizes[index] - written, kWriteSize)));
            if (n > 0)
                written += n;
            else if (n < 0 && errno != EINTR)
                m_writeError = errno;
        }
        m_stream.add(data, m_sizes[index]);
        lock.lock();
        --m_pending;
        m_changed.notify_all();
    }
}

} // namespace veldra
