#include "updater/fetching/ImageTransfer.h"

#include "updater/fetching/Sha256.h"
#include "updater/fetching/UpdateSession.h"

#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryFile>

#include <unistd.h>

namespace veldra {

namespace {

// Large reads cost fewer wake-ups and copies; at most this much of what the
// server sends waits in memory.
constexpr qint64 kReadBuffer = 4 * 1024 * 1024;
constexpr qint64 kMaxHeaderBytes = 64 * 1024;
// Chunk lines with their extensions, the CRLFs after the chunks and the
// trailers share one allowance for the whole body: this, plus an eighth of the
// image received so far. Chunks of 48 bytes and up (real servers send KiBs)
// stay within it for ever, yet what is not image stays a small share of what
// is, and so does the work of reading it.
constexpr qint64 kFramingAllowance = 64 * 1024;
constexpr int kMaxRedirects = 20;
const QString kInvalidResponse = QStringLiteral("The server sent an invalid response.");
const QString kTimedOut = QStringLiteral("The transfer timed out.");

bool isUnreachable(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::TemporaryError:
    case QAbstractSocket::UnknownSocketError:
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyNotFoundError:
        return true;
    default:
        return false;
    }
}

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The proxy the network stack would pick for `url`: the application's, or
// the system's (on Linux, https_proxy and no_proxy).
std::optional<QNetworkProxy> proxyFor(const QUrl& url) {
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)))
        if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::HttpProxy ||
            proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
    return std::nullopt;
}

QByteArray hostHeader(const QUrl& url) {
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port(443) != 443)
        host += ':' + QByteArray::number(url.port());
    return host;
}

} // namespace

ImageTransfer::ImageTransfer(Request request, UpdateServer server,
                             QList<QSslCertificate> trustedCas,
                             std::unique_ptr<QTemporaryFile> file, Completion completion,
                             Progress progress, QObject* parent)
    : QObject(parent), m_request(std::move(request)), m_server(std::move(server)),
      m_trustedCas(std::move(trustedCas)), m_file(std::move(file)),
      m_digest(std::make_unique<Sha256Pipeline>(m_file->handle())),
      m_completion(std::move(completion)), m_progress(std::move(progress)), m_url(m_request.url) {
    m_inactivity.setSingleShot(true);
    connect(&m_inactivity, &QTimer::timeout, this, [this] { endedEarly(kTimedOut, false); });
    m_resumeWait.setSingleShot(true);
    connect(&m_resumeWait, &QTimer::timeout, this, &ImageTransfer::resume);
    connect(&m_pace, &QTimer::timeout, this, &ImageTransfer::paceWindowEnded);
}

ImageTransfer::~ImageTransfer() {
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        delete m_socket;
    }
}

void ImageTransfer::start() {
    if (m_request.slowWindow.count() > 0)
        m_pace.start(m_request.slowWindow);
    connectTo(m_url);
}

void ImageTransfer::abort() {
    if (m_stage != Stage::done)
        fail(QStringLiteral("Operation canceled"));
}

void ImageTransfer::connectTo(const QUrl& url) {
    m_url = url;
    m_stage = Stage::connecting;
    m_status = 0;
    m_declaredLength = -1;
    m_chunked = false;
    m_location.reset();
    m_headerBytes = 0;
    m_etag.clear();
    m_contentRange.clear();

    const auto proxy = proxyFor(url);
    if (!proxy) {
        fail(QStringLiteral("No usable proxy for the update server."), true);
        return;
    }
    m_socket = new QSslSocket(this);
    m_socket->setProxy(*proxy);
    m_socket->setReadBufferSize(kReadBuffer);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_trustedCas.isEmpty())
        tls.setCaCertificates(m_trustedCas);
    tls.setAllowedNextProtocols({QByteArray(QSslConfiguration::NextProtocolHttp1_1)});
    m_socket->setSslConfiguration(tls);

    connect(m_socket, &QSslSocket::encrypted, this, &ImageTransfer::sendRequest);
    connect(m_socket, &QSslSocket::readyRead, this, &ImageTransfer::readAvailable);
    connect(m_socket, &QSslSocket::disconnected, this, &ImageTransfer::connectionClosed);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            connectionClosed();
            return;
        }
        // A reset or a lost network may be resumed; a TLS failure never is.
        if (isUnreachable(error) || error == QAbstractSocket::SocketTimeoutError)
            endedEarly(m_socket->errorString(), !m_answered && isUnreachable(error));
        else
            fail(m_socket->errorString());
    });
    if (m_request.inactivityTimeout.count() > 0) {
        m_inactivity.start(m_request.inactivityTimeout);
        connect(m_socket, &QSslSocket::connected, this, [this] { m_inactivity.start(); });
    }
    m_socket->connectToHostEncrypted(url.host(), static_cast<quint16>(url.port(443)));
}

void ImageTransfer::sendRequest() {
    if (m_inactivity.isActive())
        m_inactivity.start();
    QByteArray target =
        m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty())
        target = "/";
    QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader(m_url) + "\r\n";
    if (!m_request.userAgent.isEmpty())
        request += "User-Agent: " + m_request.userAgent + "\r\n";
    if (m_resuming && !m_validator.isEmpty())
        request += "Range: bytes=" + QByteArray::number(m_received) +
                   "-\r\nIf-Range: " + m_validator + "\r\n";
    request += "Accept: */*\r\nAccept-Encoding: identity\r\nCache-Control: no-cache\r\n"
               "Connection: close\r\n\r\n";
    m_socket->write(request);
    m_stage = Stage::statusLine;
}

bool ImageTransfer::readLine(QByteArray* line) {
    if (!m_socket->canReadLine()) {
        // A line that cannot fit the read buffer would stall the socket.
        if (m_socket->bytesAvailable() >= kReadBuffer)
            fail(kInvalidResponse);
        return false;
    }
    *line = m_socket->readLine();
    m_headerBytes += line->size();
    const bool head = m_stage == Stage::statusLine || m_stage == Stage::headers;
    if (m_headerBytes > (head ? kMaxHeaderBytes : kFramingAllowance + m_received / 8)) {
        fail(kInvalidResponse);
        return false;
    }
    if (line->endsWith('\n'))
        line->chop(1);
    if (line->endsWith('\r'))
        line->chop(1);
    return true;
}

void ImageTransfer::readAvailable() {
    if (m_inactivity.isActive())
        m_inactivity.start();
    while (m_socket && m_stage != Stage::connecting && m_stage != Stage::done) {
        if (m_stage == Stage::body || m_stage == Stage::chunkData) {
            if (!readBody())
                return;
            continue;
        }
        QByteArray line;
        if (!readLine(&line))
            return;
        handleLine(line);
    }
}

bool ImageTransfer::readBody() {
    const auto [buffer, room] = m_digest->room();
    qint64 want = room;
    if (m_stage == Stage::chunkData)
        want = std::min(want, m_chunkLeft);
    else if (m_declaredLength >= 0)
        want = std::min(want, m_declaredLength - m_received);
    const qint64 got = m_socket->read(buffer, want);
    if (got <= 0)
        return false;
    store(got);
    if (m_stage == Stage::chunkData) {
        m_chunkLeft -= got;
        if (m_chunkLeft == 0)
            m_stage = Stage::chunkEnd;
    } else if (m_stage == Stage::body && m_received == m_declaredLength) {
        succeed();
    }
    return true;
}

void ImageTransfer::handleLine(const QByteArray& line) {
    switch (m_stage) {
    case Stage::statusLine:
        handleStatusLine(line);
        break;
    case Stage::headers:
        if (line.isEmpty())
            headersComplete();
        else
            handleHeader(line);
        break;
    case Stage::chunkSize: {
        bool ok = false;
        const qsizetype extensions = line.indexOf(';');
        const qint64 size =
            (extensions < 0 ? line : line.left(extensions)).trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0) {
            fail(kInvalidResponse);
            break;
        }
        m_chunkLeft = size;
        m_stage = size == 0 ? Stage::trailers : Stage::chunkData;
        break;
    }
    case Stage::chunkEnd:
        if (!line.isEmpty())
            fail(kInvalidResponse);
        else
            m_stage = Stage::chunkSize;
        break;
    case Stage::trailers:
        if (line.isEmpty())
            succeed();
        break;
    default:
        break;
    }
}

void ImageTransfer::handleStatusLine(const QByteArray& line) {
    bool ok = false;
    const int status = line.split(' ').value(1).toInt(&ok);
    if (!line.startsWith("HTTP/1.") || !ok || status < 100 || status > 599) {
        fail(kInvalidResponse);
        return;
    }
    m_status = status;
    m_stage = Stage::headers;
}

void ImageTransfer::handleHeader(const QByteArray& line) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) {
        fail(kInvalidResponse);
        return;
    }
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "content-length") {
        bool ok = false;
        const qint64 length = value.toLongLong(&ok);
        if (!ok || length < 0 || (m_declaredLength >= 0 && m_declaredLength != length)) {
            fail(kInvalidResponse);
            return;
        }
        m_declaredLength = length;
    } else if (name == "transfer-encoding") {
        const QByteArray coding = value.toLower();
        if (coding == "chunked") {
            m_chunked = true;
        } else if (coding != "identity") {
            fail(QStringLiteral("The server sent an encoding the updater cannot read."));
            return;
        }
    } else if (name == "location") {
        m_location = QUrl::fromEncoded(value);
    } else if (name == "etag") {
        m_etag = value;
    } else if (name == "content-range") {
        m_contentRange = value;
    }
}

void ImageTransfer::headersComplete() {
    if (m_status < 200) { // an interim answer: the real one follows
        m_stage = Stage::statusLine;
        m_declaredLength = -1;
        m_chunked = false;
        m_location.reset();
        return;
    }
    m_answered = true;
    if (isRedirect(m_status) && m_location) {
        const QUrl target = m_url.resolved(*m_location);
        if (!isAllowedUpdateURL(target, m_server)) {
            fail(QStringLiteral("The redirect was refused."));
        } else if (++m_redirects > kMaxRedirects) {
            fail(QStringLiteral("Too many redirects."));
        } else {
            dropSocket();
            connectTo(target);
        }
        return;
    }
    if (m_chunked)
        m_declaredLength = -1; // the chunks say how long it is
    if (m_resuming) {
        m_resuming = false;
        if (m_status == 206) {
            if (m_validator.isEmpty() || !acceptPartialAnswer()) // unasked, or not the rest
                fail(QStringLiteral("The server sent another part than the rest of the image."));
            return;
        }
        if (m_status == 200)
            startOver(); // the server ignored the range, or the image changed
        if (m_stage == Stage::done)
            return;
    }
    if (m_declaredLength > m_request.limit) {
        fail(QStringLiteral("The transfer is too large."));
        return;
    }
    if (m_status == 200) {
        // What a later request for the rest must match. If-Range takes a
        // strong ETag only.
        m_validator = m_etag.startsWith("W/") ? QByteArray() : m_etag;
        m_total = m_chunked ? -1 : m_declaredLength;
    }
    // Only a complete 200 is an image; anything else is reported as it is.
    if (m_status != 200 || m_declaredLength == 0) {
        succeed();
        return;
    }
    if (m_progress)
        m_progress(0, m_declaredLength);
    m_headerBytes = 0; // the chunks' lines get their own allowance, one for the body
    m_stage = m_chunked ? Stage::chunkSize : Stage::body;
}

bool ImageTransfer::acceptPartialAnswer() {
    // "bytes N-LAST/TOTAL", N where the file stops and LAST the image's end.
    const QByteArray range = m_contentRange.startsWith("bytes ") ? m_contentRange.mid(6) : "";
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    bool okFirst = false, okLast = false, okTotal = false;
    const qint64 first = range.left(dash).toLongLong(&okFirst);
    const qint64 last = range.mid(dash + 1, slash - dash - 1).toLongLong(&okLast);
    const qint64 total = range.mid(slash + 1).toLongLong(&okTotal);
    if (m_chunked || dash < 0 || slash < dash || !okFirst || !okLast || !okTotal ||
        first != m_received || total != m_total || last != m_total - 1 ||
        (m_declaredLength >= 0 && m_declaredLength != m_total - m_received))
        return false;
    m_declaredLength = m_total; // the body ends where the image does
    m_status = 200;             // what arrives is, in the end, the whole image
    m_headerBytes = 0;
    m_stage = Stage::body;
    if (m_progress)
        m_progress(m_received, m_total);
    return true;
}

void ImageTransfer::startOver() {
    m_digest.reset(); // all it was given written, before the file is emptied
    m_received = 0;
    if (::ftruncate(m_file->handle(), 0) != 0 || ::lseek(m_file->handle(), 0, SEEK_SET) != 0)
        fail(QStringLiteral("The download could not be stored."));
    m_digest = std::make_unique<Sha256Pipeline>(m_file->handle());
}

void ImageTransfer::endedEarly(const QString& why, bool unreachable) {
    if (m_stage == Stage::done)
        return;
    // Only part of an image whose whole length is known; without a validator
    // to make sure the rest belongs to the same image, it starts over.
    const bool resumable =
        m_received > 0 && m_total > 0 && m_received < m_total && m_resumes < kMaxResumes;
    if (!resumable) {
        fail(why, unreachable);
        return;
    }
    m_inactivity.stop();
    dropSocket();
    m_stage = Stage::connecting;
    m_resumeWait.start(m_request.firstResumeWait * (1 << m_resumes));
    ++m_resumes;
}

void ImageTransfer::resume() {
    if (m_stage == Stage::done)
        return;
    m_resuming = true;
    connectTo(m_url);
}

void ImageTransfer::store(qint64 size) {
    if (m_received + size > m_request.limit) {
        fail(QStringLiteral("The transfer is too large."));
        return;
    }
    m_digest->commit(size); // in the pipeline's buffer: written and hashed there
    m_received += size;
    m_windowBytes += size;
    if (m_progress)
        m_progress(m_received, m_declaredLength);
}

void ImageTransfer::connectionClosed() {
    if (!m_socket || m_stage == Stage::done)
        return;
    readAvailable(); // what arrived before the close
    if (m_stage == Stage::done)
        return;
    if (m_stage == Stage::body && m_declaredLength < 0)
        succeed(); // the close marks the end
    else
        endedEarly(QStringLiteral("The connection closed before the download was complete."),
                   !m_answered);
}

void ImageTransfer::succeed() {
    if (m_progress && m_declaredLength < 0 && m_status == 200)
        m_progress(m_received, m_received); // the size is known at last
    finish(std::nullopt, false);
}

void ImageTransfer::fail(const QString& why, bool unreachable) {
    finish(why, unreachable);
}

void ImageTransfer::finish(std::optional<QString> error, bool unreachable) {
    if (m_stage == Stage::done)
        return;
    m_stage = Stage::done;
    m_inactivity.stop();
    m_resumeWait.stop();
    m_pace.stop();
    dropSocket();
    TransferResult result;
    result.transportError = std::move(error);
    result.isHttp = m_answered;
    result.unreachable = result.transportError && unreachable;
    result.status = m_status;
    result.finalUrl = m_url;
    result.declaredLength = m_declaredLength;
    if (!result.transportError) {
        result.sha256 = m_digest->finish();
        if (m_digest->writeError() != 0) {
            result.transportError = QStringLiteral("The download could not be stored.");
            result.sha256.reset();
        } else {
            result.file = std::move(m_file);
        }
    }
    m_file.reset(); // removes what a failed transfer wrote
    deleteLater();
    if (const Completion completion = std::exchange(m_completion, {}))
        completion(std::move(result));
}

void ImageTransfer::paceWindowEnded() {
    const bool slow = m_windowBytes < m_request.slowFloor;
    m_slowWindows = slow ? m_slowWindows + 1 : 0;
    m_slowBytes = slow ? m_slowBytes + m_windowBytes : 0;
    m_windowBytes = 0;
    // Nothing at all is silence, left to the inactivity timeout, which asks
    // for the rest; a trickle is not worth another connection.
    if (m_slowWindows >= kSlowWindows && m_slowBytes > 0)
        fail(kTimedOut);
}

void ImageTransfer::dropSocket() {
    if (!m_socket)
        return;
    // Often called from the socket's own signals: a TLS socket aborted
    // there can go on to use what the abort freed, so it closes as it goes.
    m_socket->disconnect(this);
    m_socket->deleteLater();
    m_socket = nullptr;
}

} // namespace veldra
