// A small scriptable HTTPS (or plain HTTP) server on 127.0.0.1 for the updater
// tests and benchmarks. It prints its port on standard output once listening.
//
//   https_server --root DIR [--cert PEM --key PEM] [--plain] [--port N]
//
// Each request re-reads DIR/routes.json, a JSON object mapping a path (query
// ignored) to a behaviour:
//   {"status": 200, "file": "name-in-root" | "body": "text",
//    "length": "actual" | "none" | 12345,   // Content-Length sent (or none)
//    "redirect": "https://…",               // 302 to that address
//    "stallAfter": N, "dropAfter": N,        // stop sending / hang up after N bytes
//    "trickleBytes": N, "trickleMs": M,      // send N bytes every M ms
//    "delayMs": N}                           // wait before answering
// An unknown path is a 404. Every request is appended to DIR/requests.log as
// "<method> <target> | <User-Agent>".
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace {

struct Route {
    int status = 404;
    QString file;
    QByteArray body;
    bool hasBody = true;
    QJsonValue length;
    QString redirect;
    qint64 stallAfter = -1;
    qint64 dropAfter = -1;
    qint64 trickleBytes = 0;
    int trickleMs = 0;
    int delayMs = 0;
};

QString g_root;

Route routeFor(const QByteArray& target) {
    QFile routes(g_root + "/routes.json");
    Route route;
    if (!routes.open(QIODevice::ReadOnly))
        return route;
    const QByteArray path =
        target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    const QJsonObject all = QJsonDocument::fromJson(routes.readAll()).object();
    if (!all.contains(QString::fromUtf8(path)))
        return route;
    const QJsonObject r = all.value(QString::fromUtf8(path)).toObject();
    route.status = r.value("status").toInt(200);
    route.file = r.value("file").toString();
    route.body = r.value("body").toString().toUtf8();
    route.length = r.value("length");
    route.redirect = r.value("redirect").toString();
    route.stallAfter = r.value("stallAfter").toInteger(-1);
    route.dropAfter = r.value("dropAfter").toInteger(-1);
    route.trickleBytes = r.value("trickleBytes").toInteger(0);
    route.trickleMs = r.value("trickleMs").toInt(0);
    route.delayMs = r.value("delayMs").toInt(0);
    if (!route.redirect.isEmpty())
        route.status = r.value("status").toInt(302);
    route.hasBody = route.status != 204 && route.status != 304;
    return route;
}

// Serves one connection: reads the request head, then streams the answer
// without ever holding a large file in memory.
class Connection : public QObject {
public:
    explicit Connection(QTcpSocket* socket) : m_socket(socket) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::pump);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

private:
    void onReadyRead() {
        if (m_started)
            return;
        m_head += m_socket->readAll();
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_started = true;
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        QByteArray agent;
        for (const QByteArray& line : lines)
            if (line.toLower().startsWith("user-agent:"))
                agent = line.mid(11).trimmed();
        QFile log(g_root + "/requests.log");
        if (log.open(QIODevice::Append))
            log.write(requestLine.value(0) + ' ' + requestLine.value(1) + " | " + agent + '\n');
        const Route route = routeFor(requestLine.value(1));
        QTimer::singleShot(route.delayMs, this, [this, route] { respond(route); });
    }

    void respond(const Route& route) {
        m_route = route;
        qint64 size = 0;
        if (route.hasBody) {
            if (!route.file.isEmpty()) {
                m_file = std::make_unique<QFile>(g_root + '/' + route.file);
                if (!m_file->open(QIODevice::ReadOnly)) {
                    m_file.reset();
                    m_route.status = 404;
                    m_route.body = "missing";
                }
            }
            size = m_file ? m_file->size() : m_route.body.size();
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_route.status) + " Whatever\r\n";
        if (!route.redirect.isEmpty())
            head += "Location: " + route.redirect.toUtf8() + "\r\n";
        head += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (route.length.isDouble())
            head += "Content-Length: " + QByteArray::number(route.length.toInteger()) + "\r\n";
        else if (route.length.toString() != "none")
            head += "Content-Length: " + QByteArray::number(size) + "\r\n";
        head += "\r\n";
        m_socket->write(head);
        if (!m_route.hasBody)
            m_remaining = 0;
        else
            m_remaining = size;
        pump();
    }

    void pump() {
        if (!m_started || m_done || m_trickleWaiting)
            return;
        const bool trickle = m_route.trickleBytes > 0 && m_route.trickleMs > 0;
        while (m_socket->bytesToWrite() < (1 << 20)) {
            qint64 allowed =
                std::min<qint64>(m_remaining, trickle ? m_route.trickleBytes : 256 * 1024);
            const qint64 stop = m_route.dropAfter >= 0 ? m_route.dropAfter : m_route.stallAfter;
            if (stop >= 0)
                allowed = std::min(allowed, stop - m_sent);
            if (allowed <= 0)
                break;
            const QByteArray chunk =
                m_file ? m_file->read(allowed) : m_route.body.mid(m_sent, allowed);
            if (chunk.isEmpty())
                break;
            m_socket->write(chunk);
            m_sent += chunk.size();
            m_remaining -= chunk.size();
            if (trickle && m_remaining > 0) {
                m_trickleWaiting = true;
                QTimer::singleShot(m_route.trickleMs, this, [this] {
                    m_trickleWaiting = false;
                    pump();
                });
                return;
            }
        }
        const bool finished = m_remaining <= 0;
        const bool atDrop = m_route.dropAfter >= 0 && m_sent >= m_route.dropAfter;
        const bool atStall = m_route.stallAfter >= 0 && m_sent >= m_route.stallAfter;
        if (atStall && !finished)
            return; // keep the connection open and silent
        if ((finished || atDrop) && m_socket->bytesToWrite() == 0) {
            m_done = true;
            if (atDrop && !finished)
                m_socket->abort();
            else
                m_socket->disconnectFromHost();
        }
    }

    QTcpSocket* m_socket;
    QByteArray m_head;
    bool m_started = false;
    bool m_done = false;
    bool m_trickleWaiting = false;
    Route m_route;
    std::unique_ptr<QFile> m_file;
    qint64 m_remaining = 0;
    qint64 m_sent = 0;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"root", "served folder", "dir"},
                       {"cert", "certificate PEM", "file"},
                       {"key", "private key PEM", "file"},
                       {"port", "port (0: any free one)", "n", "0"},
                       {"plain", "plain HTTP, no TLS"}});
    parser.process(app);
    g_root = parser.value("root");

    std::unique_ptr<QTcpServer> server;
    if (parser.isSet("plain")) {
        server = std::make_unique<QTcpServer>();
    } else {
        auto ssl = std::make_unique<QSslServer>();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        QFile cert(parser.value("cert")), key(parser.value("key"));
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            qFatal("cannot read the certificate or key");
        tls.setLocalCertificateChain(QSslCertificate::fromData(cert.readAll(), QSsl::Pem));
        tls.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa, QSsl::Pem));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->setSslConfiguration(tls);
        server = std::move(ssl);
    }
    QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, [&] {
        while (QTcpSocket* socket = server->nextPendingConnection())
            new Connection(socket);
    });
    if (!server->listen(QHostAddress::LocalHost,
                        static_cast<quint16>(parser.value("port").toUInt())))
        qFatal("cannot listen: %s", qPrintable(server->errorString()));
    QTextStream(stdout) << server->serverPort() << Qt::endl;
    return QCoreApplication::exec();
}
