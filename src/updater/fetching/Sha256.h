#pragma once

#include "platform/ChildProcess.h"

#include <QString>

#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

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

// A download's bytes written to its file and hashed on a thread of its own
// alongside the caller: the caller fills one of a few fixed buffers, hands it
// over in order and fills the next, so writing and hashing overlap the
// reads instead of following each one, with no copy between them.
class Sha256Pipeline {
public:
    static constexpr qint64 kBufferSize = 1024 * 1024;

    // `fd`: the file each buffer is written to before it is hashed; -1: none.
    explicit Sha256Pipeline(int fd = -1);
    ~Sha256Pipeline();
    Sha256Pipeline(const Sha256Pipeline&) = delete;
    Sha256Pipeline& operator=(const Sha256Pipeline&) = delete;

    // Where to put the next bytes, and how many fit there (at least one);
    // waits while every buffer is still being hashed.
    [[nodiscard]] std::pair<char*, qint64> room();
    // The first `size` bytes of room() hold the next bytes. A full buffer is
    // handed over to be hashed.
    void commit(qint64 size);
    // Waits until all that was handed over is written and hashed: 64
    // lower-case hex digits. Ends the pipeline.
    [[nodiscard]] QString finish();
    // The error of the first write that failed (nothing is written after
    // it); 0: none. Read it once finish() has returned.
    int writeError() const { return m_writeError; }

private:
    static constexpr int kBuffers = 4;
    void run();
    void stop();

    Sha256Stream m_stream; // only the hashing thread touches it until finish()
    const int m_fd;
    int m_writeError = 0; // the hashing thread's until finish()
    std::array<std::vector<char>, kBuffers> m_buffers;
    std::array<qint64, kBuffers> m_sizes{};
    void handOver();

    int m_next = 0;      // the caller's buffer
    qint64 m_filled = 0; // of the caller's buffer
    int m_pending = 0;   // handed over, not hashed yet
    bool m_stopping = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

} // namespace veldra
