#pragma once

#include "updater/offer/UpdateURL.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QSslSocket;
class QTemporaryFile;

namespace veldra {

class Sha256Pipeline;
struct TransferResult;

// One update image fetched with HTTP/1.1 over a TLS socket that lives on this
// thread. The bytes go from the socket into large buffers that a thread of
// their own writes to the file and hashes, each at once, with no copy between:
// the image is verified the moment its last byte is in the file.
// The socket's read buffer bounds what waits in memory, whatever the server
// would rather speak. Redirects are followed only
// to addresses the update URL rule allows; the system's proxy is used as the
// network stack would use it.
//
// A transfer that ends early after some of the image arrived (the connection
// closes or resets, or goes quiet too long) tries again on a new connection,
// up to five times, after 1, 2, 4, 8 and 16 s. With a strong ETag in the first
// answer it asks for the rest: "Range: bytes=N-" with "If-Range:" carrying
// that ETag. A 206 for exactly the rest continues the file and its digest; a
// 200 starts over; anything else fails. Without one it asks for the whole
// image again: a Last-Modified date cannot tell apart two images written in
// the same second, nor a weak ETag two that merely mean the same.
//
// A transfer whose bytes trickle in, too few in each of several windows in a
// row, fails as timed out and is not tried again: unlike silence, which the
// inactivity timeout ends, it would otherwise hold the download for ever.
class ImageTransfer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QUrl url;
        QByteArray userAgent;
        std::chrono::milliseconds inactivityTimeout{0}; // 0: none
        qint64 limit = 0;                               // most bytes accepted, declared or received
        std::chrono::milliseconds firstResumeWait{1'000}; // doubled before each further try
        // Fewer image bytes than this in each of kSlowWindows windows in a row
        // is a trickle. At 64 KiB a minute a 100 MB image would take a day;
        // the slowest link a user has moves far more. 0 ms: no floor.
        std::chrono::milliseconds slowWindow{60'000};
        qint64 slowFloor = 64 * 1024;
    };
    static constexpr int kMaxResumes = 5;
    static constexpr int kSlowWindows = 3;
    using Completion = std::function<void(TransferResult)>;
    using Progress = std::function<void(qint64 received, qint64 total)>;

    // `file` receives the body; it must be open for writing.
    ImageTransfer(Request request, UpdateServer server, QList<QSslCertificate> trustedCas,
                  std::unique_ptr<QTemporaryFile> file, Completion completion, Progress progress,
                  QObject* parent = nullptr);
    ~ImageTransfer() override;

    void start();
    // Ends the transfer now: the file is removed and the completion reports
    // the cancellation. Nothing happens once the transfer has finished.
    void abort();

private:
    enum class Stage {
        connecting,
        statusLine,
        headers,
        body,
        chunkSize,
        chunkData,
        chunkEnd,
        trailers,
        done
    };

    void connectTo(const QUrl& url);
    void sendRequest();
    void readAvailable();
    // Moves what the socket holds of the body to the file; false when it
    // holds none.
    bool readBody();
    // False when no whole line has arrived yet, or the lines are too long.
    bool readLine(QByteArray* line);
    void handleLine(const QByteArray& line);
    void handleStatusLine(const QByteArray& line);
    void handleHeader(const QByteArray& line);
    void headersComplete();
    // The next `size` bytes of the body are in the digest pipeline's room.
    void store(qint64 size);
    void connectionClosed();
    void fail(const QString& why, bool unreachable = false);
    // The transfer ended early: asks for the rest if it can, else fails.
    void endedEarly(const QString& why, bool unreachable);
    void resume();
    // A 206 continues at exactly m_received and ends at the total; false
    // when it does not.
    bool acceptPartialAnswer();
    void startOver();
    void succeed();
    void finish(std::optional<QString> error, bool unreachable);
    void dropSocket();
    void paceWindowEnded();

    Request m_request;
    UpdateServer m_server;
    QList<QSslCertificate> m_trustedCas;
    std::unique_ptr<QTemporaryFile> m_file;
    std::unique_ptr<Sha256Pipeline> m_digest;
    Completion m_completion;
    Progress m_progress;
    QSslSocket* m_socket = nullptr;
    QTimer m_inactivity;
    QTimer m_pace; // each slowWindow

    QUrl m_url; // the address being fetched, after redirects
    int m_redirects = 0;
    Stage m_stage = Stage::connecting;
    bool m_answered = false; // some HTTP answer arrived
    int m_status = 0;
    qint64 m_declaredLength = -1;
    bool m_chunked = false;
    std::optional<QUrl> m_location;
    qint64 m_headerBytes = 0; // the head's lines, then all the chunk lines and trailers
    qint64 m_chunkLeft = 0;
    qint64 m_received = 0;
    qint64 m_windowBytes = 0; // image bytes in the current slowWindow
    int m_slowWindows = 0;    // windows in a row under the floor
    qint64 m_slowBytes = 0;   // image bytes in those

    // Resuming: the first answer's validator and length, and the tries made.
    QByteArray m_validator; // its strong ETag; empty: none, so the whole image is asked for
    QByteArray m_etag;
    QByteArray m_contentRange;
    qint64 m_total = -1;
    int m_resumes = 0;
    bool m_resuming = false; // the request under way asks for the rest
    QTimer m_resumeWait;
};

} // namespace veldra
