#pragma once

#include "platform/ChildProcess.h"

#include <QString>

#include <variant>

namespace veldra {

inline constexpr qint64 kDigestChunk = 1'048'576;

// SHA-256 of a file's contents as 64 lower-case hex digits, streamed in 1 MiB
// blocks; or the error of opening or reading it.
std::variant<QString, platform::SystemError> sha256Hex(const QString& path);

// SHA-256 of `bytes` as 64 lower-case hex digits.
QString sha256HexOfBytes(const QByteArray& bytes);

// SHA-256 fed piece by piece, for a file hashed as it is written.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void add(const char* data, qint64 size);
    // 64 lower-case hex digits of everything added; ends the stream.
    QString finish();

private:
    void* m_context; // EVP_MD_CTX
};

} // namespace veldra
