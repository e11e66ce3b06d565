// A small HTTP CONNECT proxy on 127.0.0.1 for the updater's proxy tests. It
// prints its port on standard output once listening.
//
//   connect_proxy --log FILE [--refuse] --map NAME:PORT=ADDR:PORT[,ADDR:PORT...]
//
// Every CONNECT line is appended to FILE. A mapped target is connected to the
// first address for its first tunnel, the next for the next, and the last from
// then on; the proxy itself resolves nothing. With --refuse, or for a target
// that is not mapped, it answers 403 and hangs up.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

namespace {

struct Backend {
    QHostAddress address;
    quint16 port = 0;
};

QHash<QByteArray, QList<Backend>> g_map;
QHash<QByteArray, qsizetype> g_tunnels;
QString g_log;
bool g_refuse = false;

void tunnel(QTcpSocket* client) {
    auto* head = new QByteArray;
    QObject::connect(client, &QTcpSocket::readyRead, client, [client, head] {
        if (*head == "\r\n\r\n")
            return; // tunnelling: the relay below reads
        head->append(client->readAll());
        if (!head->contains("\r\n\r\n"))
            return;
        const QByteArray line = head->left(head->indexOf("\r\n"));
        const QList<QByteArray> words = line.split(' ');
        QFile log(g_log);
        if (log.open(QIODevice::Append))
            log.write(line + '\n');
        const QByteArray target = words.value(1);
        if (g_refuse || words.value(0) != "CONNECT" || !g_map.contains(target)) {
            client->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
            client->disconnectFromHost();
            return;
        }
        const QList<Backend>& backends = g_map[target];
        const Backend backend =
            backends.at(std::min<qsizetype>(g_tunnels[target]++, backends.size() - 1));
        const QByteArray early = head->mid(head->indexOf("\r\n\r\n") + 4);
        *head = "\r\n\r\n"; // from now on, everything is relayed
        auto* server = new QTcpSocket(client);
        QObject::connect(server, &QTcpSocket::connected, client, [client, server, early] {
            client->write("HTTP/1.1 200 Connection established\r\n\r\n");
            if (!early.isEmpty())
                server->write(early);
            QObject::connect(client, &QTcpSocket::readyRead, server,
                             [client, server] { server->write(client->readAll()); });
            QObject::connect(server, &QTcpSocket::readyRead, client,
                             [client, server] { client->write(server->readAll()); });
            QObject::connect(server, &QTcpSocket::disconnected, client,
                             [client] { client->disconnectFromHost(); });
            QObject::connect(client, &QTcpSocket::disconnected, server,
                             [server] { server->disconnectFromHost(); });
        });
        QObject::connect(server, &QTcpSocket::errorOccurred, client,
                         [client] { client->disconnectFromHost(); });
        server->connectToHost(backend.address, backend.port);
    });
    QObject::connect(client, &QTcpSocket::disconnected, client, [client, head] {
        delete head;
        client->deleteLater();
    });
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"log", "CONNECT log", "file"},
                       {"map", "NAME:PORT=ADDR:PORT[,ADDR:PORT...]", "mapping"},
                       {"refuse", "refuse every tunnel"}});
    parser.process(app);
    g_log = parser.value("log");
    g_refuse = parser.isSet("refuse");
    for (const QString& mapping : parser.values("map")) {
        const QString name = mapping.section('=', 0, 0);
        for (const QString& to : mapping.section('=', 1).split(',')) {
            const qsizetype colon = to.lastIndexOf(':');
            g_map[name.toUtf8()] << Backend{QHostAddress(to.left(colon)),
                                            static_cast<quint16>(to.mid(colon + 1).toUInt())};
        }
    }
    QTcpServer server;
    QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection())
            tunnel(socket);
    });
    if (!server.listen(QHostAddress::LocalHost))
        qFatal("cannot listen: %s", qPrintable(server.errorString()));
    QTextStream(stdout) << server.serverPort() << Qt::endl;
    return QCoreApplication::exec();
}
