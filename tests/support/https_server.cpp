// A small scriptable HTTPS (or plain HTTP) server on 127.0.0.1 for the updater tests, the
// demo and the benchmarks. It prints its port once listening.
//   https_server --root DIR [--cert PEM --key PEM | --plain] [--port N]
// Each request re-reads DIR/routes.json, which maps a path (query ignored) to {"status": 200,
// "file": "name in DIR" | "generate": N (N bytes of filler), "length": "none" | N (the
// Content-Length sent; default: the true one), "redirect": "https://…" (a 302), "stallAfter": N
// (then silence), "etag": "\"v1\"" | "per-request", "ranges": true (a matching If-Range gets a
// 206), "rangeStart": N (a 206 from N whatever was asked), "dropAt": [N, ...] (the connection is
// cut at body offset N if the request started before it, once per cut), "lastModified": "<date>",
// "chunked": [S, N] (S-byte chunks, each with N bytes of extension), "trickle": M (one byte each
// M ms)}. An unknown path is a 404. Each request is appended to DIR/requests.log as "<method>
// <target> | <User-Agent>", and the bytes each connection sent to DIR/sent.log.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QSslServer>
#include <QTextStream>
#include <QTimer>

namespace {

QString g_root;
QList<qint64> g_cuts; // made already: a new request for the whole body is not cut again

// Answers one request, streaming the body as the socket drains.
class Connection : public QObject {
public:
    explicit Connection(QTcpSocket* socket) : m_socket(socket) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readHead);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::pump);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) { m_wire += n; });
        m_pace.setSingleShot(true);
        connect(&m_pace, &QTimer::timeout, this, &Connection::pump);
    }
    ~Connection() override {
        QFile sent(g_root + "/sent.log");
        if (sent.open(QIODevice::Append))
            sent.write(QByteArray::number(m_wire) + '\n');
    }

private:
    void readHead() {
        m_head += m_socket->readAll();
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (m_left >= 0 || end < 0)
            return;
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
        QByteArray agent, ifRange;
        qint64 from = -1;
        for (const QByteArray& line : lines) {
            const QByteArray lower = line.toLower();
            if (lower.startsWith("user-agent:"))
                agent = line.mid(11).trimmed();
            else if (lower.startsWith("if-range:"))
                ifRange = line.mid(9).trimmed();
            else if (lower.startsWith("range: bytes="))
                from = line.mid(13).trimmed().chopped(1).toLongLong();
        }
        QFile log(g_root + "/requests.log");
        if (log.open(QIODevice::Append))
            log.write(request.value(0) + ' ' + request.value(1) + " | " + agent + '\n');
        const qint64 serial = log.size();

        QFile routes(g_root + "/routes.json");
        const QString path = QString::fromUtf8(request.value(1)).section('?', 0, 0);
        const QJsonObject all = routes.open(QIODevice::ReadOnly)
                                    ? QJsonDocument::fromJson(routes.readAll()).object()
                                    : QJsonObject();
        const QJsonObject r = all.value(path).toObject();
        int status =
            all.contains(path) ? r.value("status").toInt(r.contains("redirect") ? 302 : 200) : 404;
        m_stallAfter = r.value("stallAfter").toInteger(-1);
        m_trickle = r.value("trickle").toInt();
        m_chunk = r.value("chunked").toArray().at(0).toInteger();
        m_extension = r.value("chunked").toArray().at(1).toInteger();
        m_left = r.value("generate").toInteger(0);
        if (r.contains("file")) {
            m_file.setFileName(g_root + '/' + r.value("file").toString());
            if (m_file.open(QIODevice::ReadOnly))
                m_left = m_file.size();
            else
                status = 404;
        }
        QByteArray etag = r.value("etag").toString().toUtf8();
        if (etag == "per-request")
            etag = '"' + QByteArray::number(serial) + '"';
        QByteArray extra;
        if (!etag.isEmpty())
            extra += "ETag: " + etag + "\r\n";
        if (r.contains("lastModified"))
            extra += "Last-Modified: " + r.value("lastModified").toString().toUtf8() + "\r\n";
        const qint64 size = m_left;
        const bool matches = ifRange.isEmpty() || ifRange == etag;
        if (from >= 0 &&
            (r.contains("rangeStart") || (r.value("ranges").toBool() && from < size && matches))) {
            m_offset = r.value("rangeStart").toInteger(from);
            status = 206;
            extra += "Content-Range: bytes " + QByteArray::number(m_offset) + '-' +
                     QByteArray::number(size - 1) + '/' + QByteArray::number(size) + "\r\n";
            m_left = size - m_offset;
            m_file.seek(m_offset);
        }
        // Each cut once, and only past where the request asked to start: no endless re-cuts.
        for (const QJsonValue cut : r.value("dropAt").toArray())
            if (cut.toInteger() > std::max(from, m_offset) && !g_cuts.contains(cut.toInteger()) &&
                (m_dropAt < 0 || cut.toInteger() < m_dropAt))
                m_dropAt = cut.toInteger();
        g_cuts << m_dropAt;
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(status) + " Test\r\nConnection: close\r\n" + extra;
        if (r.contains("redirect"))
            head += "Location: " + r.value("redirect").toString().toUtf8() + "\r\n";
        const QJsonValue length = r.value("length");
        if (m_chunk > 0)
            head += "Transfer-Encoding: chunked\r\n";
        else if (length.toString() != "none")
            head += "Content-Length: " + QByteArray::number(length.toInteger(m_left)) + "\r\n";
        m_socket->write(head + "\r\n");
        pump();
    }

    void pump() {
        while (m_left > 0 && m_socket->bytesToWrite() < (1 << 20) && !m_pace.isActive()) {
            qint64 size = std::min<qint64>(m_left, m_trickle > 0 ? 1
                                                   : m_chunk > 0 ? m_chunk
                                                                 : 256 * 1024);
            if (m_stallAfter >= 0 && (size = std::min(size, m_stallAfter - m_offset)) <= 0)
                return; // stalled: the connection stays open and silent
            if (m_dropAt >= 0 && (size = std::min(size, m_dropAt - m_offset)) <= 0) {
                m_left = 0; // closes once what came before the cut is out
                break;
            }
            const QByteArray chunk = m_file.isOpen() ? m_file.read(size) : QByteArray(size, 'g');
            m_socket->write(m_chunk <= 0
                                ? chunk
                                : QByteArray::number(chunk.size(), 16) + ';' +
                                      QByteArray(m_extension, 'x') + "\r\n" + chunk + "\r\n");
            m_offset += chunk.size();
            m_left = chunk.isEmpty() ? 0 : m_left - chunk.size();
            if (m_chunk > 0 && m_left == 0)
                m_socket->write("0\r\n\r\n");
            if (m_trickle > 0)
                m_pace.start(m_trickle);
        }
        if (m_left == 0 && m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromHost();
    }

    QTcpSocket* m_socket;
    QByteArray m_head;
    QFile m_file;
    qint64 m_left = -1;  // body bytes still to send; -1 until the request is read
    qint64 m_offset = 0; // where in the body the next byte is
    qint64 m_stallAfter = -1, m_dropAt = -1;
    int m_trickle = 0;                   // ms between bytes; 0: as fast as it goes
    qint64 m_chunk = 0, m_extension = 0; // chunked: the chunks' size, their extensions'
    QTimer m_pace;
    qint64 m_wire = 0; // bytes that left through the socket
};

} // namespace

int main(int argc, char* argv[]) {
    // On a Mac, Qt's Secure Transport backend imports the server's key into the
    // user's default keychain, maybe behind a dialog nobody answers; with this
    // it uses a keychain of its own in the temporary folder (as Qt's CI does).
    qputenv("QT_SSL_USE_TEMPORARY_KEYCHAIN", "1");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"root", "served folder", "dir"},
                       {"cert", "certificate PEM", "file"},
                       {"key", "private key PEM", "file"},
                       {"port", "port (0: any free one)", "n", "0"},
                       {"plain", "plain HTTP, no TLS"}});
    parser.process(app);
    g_root = parser.value("root");

    QSslServer tls;
    QTcpServer plain;
    QTcpServer& server = parser.isSet("plain") ? plain : tls;
    if (!parser.isSet("plain")) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        QFile cert(parser.value("cert")), key(parser.value("key"));
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            qFatal("cannot read the certificate or key");
        config.setLocalCertificateChain(QSslCertificate::fromData(cert.readAll(), QSsl::Pem));
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.setSslConfiguration(config);
    }
    QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection())
            new Connection(socket);
    });
    if (!server.listen(QHostAddress::LocalHost,
                       static_cast<quint16>(parser.value("port").toUInt())))
        qFatal("cannot listen: %s", qPrintable(server.errorString()));
    QTextStream(stdout) << server.serverPort() << Qt::endl;
    return QCoreApplication::exec();
}
