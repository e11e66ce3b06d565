#pragma once

#include "updater/offer/MacUpdateManifest.h"
#include "updater/offer/UpdateURL.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QTemporaryFile>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace veldra {

class ImageTransfer;

inline constexpr auto kManifestTaskDescription = "manifest";
inline constexpr auto kSignatureTaskDescription = "signature";
inline constexpr qint64 kMaxSignatureBytes = 16'384;

// What a finished transfer left behind. The body file removes itself unless
// the receiver takes it over.
struct TransferResult {
    std::unique_ptr<QTemporaryFile> file; // none after a transport error
    std::optional<QString> transportError;
    bool isHttp = false;
    int status = 0;
    QUrl finalUrl;
    qint64 declaredLength = -1; // -1: not declared
    // The SHA-256 of exactly the bytes in `file`, taken as they were written
    // (images only).
    std::optional<QString> sha256;
    // The server could not be reached at all: no route, no such host, the
    // connection refused or reset before any HTTP answer. Never a TLS failure.
    bool unreachable = false;
};

// The updater's one network session. Lives on the updater's worker thread and
// calls every completion there. Nothing is cached or persisted; TLS peers are
// always verified, against `trustedCas` alone when it is not empty. Bodies are
// streamed to a file of our own as they arrive, never held in memory.
class UpdateSession : public QObject {
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds manifestCap{300'000}; // the manifest's whole transfer
        // Give every transfer file a name in the folder from the start, as
        // macOS always does (Linux keeps it unnamed until it is complete).
        bool namedTransferFiles = false;
        // An image transfer that ends early asks for the rest after this
        // long, then twice as long before each further try.
        std::chrono::milliseconds firstResumeWait{1'000};
    };
    using Completion = std::function<void(TransferResult)>;
    // Bytes received so far and the total (-1 while unknown), on the session's thread.
    using Progress = std::function<void(qint64 received, qint64 total)>;

    UpdateSession(std::unique_ptr<QNetworkAccessManager> network, UpdateServer server,
                  QList<QSslCertificate> trustedCas, QString temporaryDirectory, Limits limits);
    ~UpdateSession() override;

    // Starts a GET. `description` "manifest" caps the body at 256 KiB,
    // "signature" at 16 KiB, anything else (an image) at 500 MiB. Redirects are followed only to
    // addresses the update URL rule allows. An image is fetched by an
    // ImageTransfer on this thread, hashed as it is written; the request's
    // transfer timeout is its inactivity timeout. Call on the session's thread.
    void start(QNetworkRequest request, const QString& description, Completion completion,
               Progress progress = {});

    // Aborts every transfer under way and removes its file: the application
    // is quitting. Call on the session's thread.
    void discardTransfers();

private:
    std::unique_ptr<QNetworkAccessManager> m_network;
    UpdateServer m_server;
    QList<QSslCertificate> m_trustedCas;
    QString m_temporaryDirectory;
    Limits m_limits;
    struct InFlight {
        QPointer<QNetworkReply> reply;
        std::weak_ptr<std::unique_ptr<QTemporaryFile>> body;
    };
    QList<InFlight> m_inFlight;
    QList<QPointer<ImageTransfer>> m_images;
};

// A transfer file's name pattern in the temporary folder.
inline constexpr auto kTransferFilePrefix = ".veldra-transfer-";

} // namespace veldra
