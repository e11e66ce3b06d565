// A small scriptable HTTPS (or plain HTTP) server on 127.0.0.1 for the updater
// tests, the demo and the benchmarks. It prints its port once listening.
//
//   https_server --root DIR [--cert PEM --key PEM | --plain] [--port N]
//
// Each request re-reads DIR/routes.json, which maps a path (query ignored) to
//   {"status": 200, "file": "name in DIR" | "generate": N (N bytes of filler),
//    "length": "none" | N (the Content-Length sent; default: the true one),
//    "redirect": "https://…" (a 302), "stallAfter": N (then silence)}.
// An unknown path is a 404. Each request is appended to DIR/requests.log as
// "<method> <target> | <User-Agent>".
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QSslServer>
#include <QTextStream>

namespace {

QString g_root;

// Answers one request, streaming the body as the socket drains.
class Connection : public QObject {
public:
    explicit Connection(QTcpSocket* socket) : m_socket(socket) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readHead);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::pump);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

private:
    void readHead() {
        m_head += m_socket->readAll();
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (m_left >= 0 || end < 0)
            return;
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
        QByteArray agent;
        for (const QByteArray& line : lines)
            if (line.toLower().startsWith("user-agent:"))
                agent = line.mid(11).trimmed();
        QFile log(g_root + "/requests.log");
        if (log.open(QIODevice::Append))
            log.write(request.value(0) + ' ' + request.value(1) + " | " + agent + '\n');

        QFile routes(g_root + "/routes.json");
        const QString path = QString::fromUtf8(request.value(1)).section('?', 0, 0);
        const QJsonObject all = routes.open(QIODevice::ReadOnly)
                                    ? QJsonDocument::fromJson(routes.readAll()).object()
                                    : QJsonObject();
        const QJsonObject r = all.value(path).toObject();
        int status =
            all.contains(path) ? r.value("status").toInt(r.contains("redirect") ? 302 : 200) : 404;
        m_stallAfter = r.value("stallAfter").toInteger(-1);
        m_left = r.value("generate").toInteger(0);
        if (r.contains("file")) {
            m_file.setFileName(g_root + '/' + r.value("file").toString());
            if (m_file.open(QIODevice::ReadOnly))
                m_left = m_file.size();
            else
                status = 404;
        }
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(status) + " Test\r\nConnection: close\r\n";
        if (r.contains("redirect"))
            head += "Location: " + r.value("redirect").toString().toUtf8() + "\r\n";
        const QJsonValue length = r.value("length");
        if (length.toString() != "none")
            head += "Content-Length: " + QByteArray::number(length.toInteger(m_left)) + "\r\n";
        m_socket->write(head + "\r\n");
        pump();
    }

    void pump() {
        while (m_left > 0 && m_socket->bytesToWrite() < (1 << 20)) {
            qint64 size = std::min<qint64>(m_left, 256 * 1024);
            if (m_stallAfter >= 0 && (size = std::min(size, m_stallAfter - m_sent)) <= 0)
                return; // stalled: the connection stays open and silent
            const QByteArray chunk = m_file.isOpen() ? m_file.read(size) : QByteArray(size, 'g');
            m_socket->write(chunk);
            m_sent += chunk.size();
            m_left = chunk.isEmpty() ? 0 : m_left - chunk.size();
        }
        if (m_left == 0 && m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromHost();
    }

    QTcpSocket* m_socket;
    QByteArray m_head;
    QFile m_file;
    qint64 m_left = -1; // body bytes still to send; -1 until the request is read
    qint64 m_sent = 0;
    qint64 m_stallAfter = -1;
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
