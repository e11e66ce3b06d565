#include "updater/fetching/UpdateSession.h"

#include "updater/fetching/ImageTransfer.h"
#include "updater/offer/MacUpdateManifest.h"

#include <QDir>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace veldra {

namespace {

// Cookies are neither sent nor kept.
class NoCookies : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

bool isUnreachable(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
        return true;
    default:
        return false;
    }
}

} // namespace

UpdateSession::UpdateSession(std::unique_ptr<QNetworkAccessManager> network, UpdateServer server,
                             QList<QSslCertificate> trustedCas, QString temporaryDirectory,
                             Limits limits)
    : m_network(std::move(network)), m_server(std::move(server)),
      m_trustedCas(std::move(trustedCas)), m_temporaryDirectory(std::move(temporaryDirectory)),
      m_limits(limits) {
    m_network->setCache(nullptr);
    m_network->setCookieJar(new NoCookies(m_network.get()));
    m_network->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    m_network->setStrictTransportSecurityEnabled(false);
}

UpdateSession::~UpdateSession() = default;

void UpdateSession::start(QNetworkRequest request, const QString& description,
                          Completion completion, Progress progress) {
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_trustedCas.isEmpty())
        tls.setCaCertificates(m_trustedCas);
    request.setSslConfiguration(tls);

    const bool isManifest = description == QLatin1String(kManifestTaskDescription);
    const bool isSignature = description == QLatin1String(kSignatureTaskDescription);
    const bool isImage = !isManifest && !isSignature;
    const qint64 limit = isManifest    ? kMaxManifestBytes
                         : isSignature ? kMaxSignatureBytes
                                       : kMaxImageBytes;

    auto body = std::make_shared<std::unique_ptr<QTemporaryFile>>(std::make_unique<QTemporaryFile>(
        m_temporaryDirectory + QLatin1Char('/') + QLatin1String(kTransferFilePrefix) +
        QStringLiteral("XXXXXX")));
    if (!(*body)->open()) {
        body->reset();
    } else {
        if (m_limits.namedTransferFiles)
            (void)(*body)->fileName(); // asking for the name links the file into the folder
        // Held until the file is closed: tells a later sweep this one is live.
        ::flock((*body)->handle(), LOCK_EX | LOCK_NB);
    }

    if (isImage) {
        if (!*body) {
            TransferResult result;
            result.transportError = QStringLiteral("The download could not be stored.");
            completion(std::move(result));
            return;
        }
        auto* transfer = new ImageTransfer({request.url(), request.rawHeader("User-Agent"),
                                            std::chrono::milliseconds(request.transferTimeout()),
                                            limit, m_limits.firstResumeWait},
                                           m_server, m_trustedCas, std::move(*body),
                                           std::move(completion), std::move(progress), this);
        m_images.removeIf([](const QPointer<ImageTransfer>& t) { return !t; });
        m_images << transfer;
        transfer->start();
        return;
    }

    QNetworkReply* reply = m_network->get(request);
    reply->setReadBufferSize(1 << 20);
    m_inFlight.removeIf([](const InFlight& t) { return !t.reply; });
    m_inFlight << InFlight{reply, body};
    auto failure = std::make_shared<std::optional<QString>>();
    const auto abortWith = [reply, failure](const QString& why) {
        if (!*failure)
            *failure = why;
        reply->abort();
    };

    // The manifest and its signature are small: a bound on the whole transfer. An image is bounded
    // only by its inactivity timeout, so a slow link that keeps delivering
    // always finishes.
    auto* cap = new QTimer(reply);
    cap->setSingleShot(true);
    QObject::connect(cap, &QTimer::timeout, reply,
                     [abortWith] { abortWith(QStringLiteral("The transfer took too long.")); });
    cap->start(m_limits.manifestCap);

    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, abortWith] {
        const QByteArray chunk = reply->readAll();
        if (!*body || (*body)->write(chunk) != chunk.size())
            abortWith(QStringLiteral("The download could not be stored."));
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [limit, abortWith, progress](qint64 received, qint64 total) {
                         if (received > limit || total > limit) {
                             abortWith(QStringLiteral("The transfer is too large."));
                             return;
                         }
                         if (progress)
                             progress(received, total);
                     });
    const UpdateServer server = m_server;
    QObject::connect(reply, &QNetworkReply::redirected, reply,
                     [reply, server, abortWith](const QUrl& target) {
                         if (isAllowedUpdateURL(target, server))
                             Q_EMIT reply->redirectAllowed();
                         else
                             abortWith(QStringLiteral("The redirect was refused."));
                     });
    QObject::connect(reply, &QNetworkReply::finished, this,
                     [reply, body, failure, completion = std::move(completion)] {
                         reply->deleteLater();
                         if (reply->bytesAvailable() > 0 && *body) {
                             const QByteArray rest = reply->readAll();
                             if ((*body)->write(rest) != rest.size() && !*failure)
                                 *failure = QStringLiteral("The download could not be stored.");
                         }
                         TransferResult result;
                         if (*failure)
                             result.transportError = *failure;
                         else if (reply->error() != QNetworkReply::NoError)
                             result.transportError = reply->errorString();
                         const QVariant status =
                             reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                         result.isHttp = status.isValid();
                         result.unreachable =
                             !*failure && !result.isHttp && isUnreachable(reply->error());
                         result.status = status.toInt();
                         result.finalUrl = reply->url();
                         bool known = false;
                         const qint64 declared =
                             reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
                         result.declaredLength = known ? declared : -1;
                         if (!result.transportError && *body && (*body)->flush())
                             result.file = std::move(*body);
                         body->reset();
                         completion(std::move(result));
                     });
}

void UpdateSession::discardTransfers() {
    const QList<InFlight> transfers = std::exchange(m_inFlight, {});
    for (const InFlight& transfer : transfers) {
        // Dropping the file removes it now, whenever the abort is delivered.
        if (const auto body = transfer.body.lock())
            body->reset();
        if (transfer.reply && transfer.reply->isRunning())
            transfer.reply->abort();
    }
    for (const QPointer<ImageTransfer>& image : std::exchange(m_images, {}))
        if (image)
            image->abort();
}

} // namespace veldra
