#include "updater/Sha256.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace veldra {

namespace {

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

} // namespace veldra
