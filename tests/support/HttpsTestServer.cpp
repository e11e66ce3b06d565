#include "HttpsTestServer.h"

#include <QFile>
#include <QJsonDocument>

#include <cstdlib>

namespace veldra::test {

namespace {

bool run(const QString& dir, const QString& script) {
    QProcess shell;
    shell.setWorkingDirectory(dir);
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-ec"), script});
    if (!shell.waitForFinished(60000) || shell.exitCode() != 0) {
        qWarning("openssl failed: %s", shell.readAll().constData());
        return false;
    }
    return true;
}

} // namespace

const TestPki& TestPki::instance() {
    static QTemporaryDir folder;
    static TestPki pki = [] {
        TestPki p;
        p.dir = folder.path();
        run(p.dir,
            QStringLiteral(
                "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
                "  -subj '/CN=Veldra Test CA' -addext basicConstraints=critical,CA:TRUE "
                "  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null\n"
                "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
                "  -subj '/CN=localhost' 2>/dev/null\n"
                "printf 'subjectAltName=DNS:localhost,DNS:updates.test.example,IP:127.0.0.1\\n"
                "basicConstraints=CA:FALSE\\nextendedKeyUsage=serverAuth\\n' > server.ext\n"
                "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                "  -out server.pem -days 2 -extfile server.ext 2>/dev/null\n"
                // From the trusted CA, but for another name.
                "openssl req -newkey rsa:2048 -nodes -keyout other.key -out other.csr "
                "  -subj '/CN=other.example' 2>/dev/null\n"
                "printf 'subjectAltName=DNS:other.example\\nextendedKeyUsage=serverAuth\\n' "
                "  > other.ext\n"
                "openssl x509 -req -in other.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                "  -out other.pem -days 2 -extfile other.ext 2>/dev/null\n"
                // From the trusted CA, for the right names, but long expired.
                "openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.csr "
                "  -subj '/CN=localhost' 2>/dev/null\n"
                "printf '[ca]\\ndefault_ca=c\\n[c]\\ndatabase=index.txt\\nnew_certs_dir=.\\n"
                "serial=serial.txt\\ndefault_md=sha256\\npolicy=p\\n[p]\\ncommonName=supplied\\n'"
                "  > ca.cnf\n"
                "touch index.txt; echo 1000 > serial.txt\n"
                "openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr "
                "  -out expired.pem -startdate 20200101000000Z -enddate 20200102000000Z "
                "  -extfile server.ext -notext 2>/dev/null\n"
                "openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem "
                "  -days 2 -subj '/CN=localhost' -addext subjectAltName=DNS:localhost "
                "  2>/dev/null\n"));
        p.caPem = p.dir + QStringLiteral("/ca.pem");
        p.serverPem = p.dir + QStringLiteral("/server.pem");
        p.serverKey = p.dir + QStringLiteral("/server.key");
        p.selfSignedPem = p.dir + QStringLiteral("/self.pem");
        p.selfSignedKey = p.dir + QStringLiteral("/self.key");
        p.otherNamePem = p.dir + QStringLiteral("/other.pem");
        p.otherNameKey = p.dir + QStringLiteral("/other.key");
        p.expiredPem = p.dir + QStringLiteral("/expired.pem");
        p.expiredKey = p.dir + QStringLiteral("/expired.key");
        return p;
    }();
    return pki;
}

QList<QSslCertificate> TestPki::ca() const {
    QFile file(caPem);
    return file.open(QIODevice::ReadOnly) ? QSslCertificate::fromData(file.readAll(), QSsl::Pem)
                                          : QList<QSslCertificate>();
}

HttpsTestServer::HttpsTestServer(Mode mode, quint16 port) : m_mode(mode) {
    const TestPki& pki = TestPki::instance();
    QStringList arguments{QStringLiteral("--root"), m_root.path(), QStringLiteral("--port"),
                          QString::number(port)};
    if (mode == Mode::plain)
        arguments << QStringLiteral("--plain");
    else if (mode == Mode::selfSigned)
        arguments << QStringLiteral("--cert") << pki.selfSignedPem << QStringLiteral("--key")
                  << pki.selfSignedKey;
    else if (mode == Mode::otherName)
        arguments << QStringLiteral("--cert") << pki.otherNamePem << QStringLiteral("--key")
                  << pki.otherNameKey;
    else if (mode == Mode::expired)
        arguments << QStringLiteral("--cert") << pki.expiredPem << QStringLiteral("--key")
                  << pki.expiredKey;
    else
        arguments << QStringLiteral("--cert") << pki.serverPem << QStringLiteral("--key")
                  << pki.serverKey;
    setRoutes({});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(HTTPS_SERVER_PATH), arguments);
    if (m_process.waitForReadyRead(10000))
        m_port = static_cast<quint16>(m_process.readLine().trimmed().toUInt());
}

HttpsTestServer::~HttpsTestServer() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString HttpsTestServer::url(const QString& path) const {
    return QStringLiteral("%1://localhost:%2%3")
        .arg(m_mode == Mode::plain ? QStringLiteral("http") : QStringLiteral("https"))
        .arg(m_port)
        .arg(path);
}

void HttpsTestServer::setRoutes(const QJsonObject& routes) const {
    writeFile(QStringLiteral("routes.json"), QJsonDocument(routes).toJson());
}

void HttpsTestServer::writeFile(const QString& name, const QByteArray& bytes) const {
    // Written aside and renamed, so the server never reads half a file.
    const QString path = m_root.path() + QLatin1Char('/') + name;
    QFile file(path + QStringLiteral(".new"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
        file.close();
        QFile::remove(path);
        file.rename(path);
    }
}

QStringList HttpsTestServer::requests() const {
    QFile log(m_root.path() + QStringLiteral("/requests.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

ConnectProxy::ConnectProxy(const QString& target, const QList<quint16>& ports, bool refuse) {
    QStringList backends;
    for (quint16 port : ports)
        backends << QStringLiteral("127.0.0.1:%1").arg(port);
    QStringList arguments{QStringLiteral("--log"), m_dir.filePath(QStringLiteral("connect.log")),
                          QStringLiteral("--map"),
                          target + QLatin1Char('=') + backends.join(QLatin1Char(','))};
    if (refuse)
        arguments << QStringLiteral("--refuse");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(CONNECT_PROXY_PATH), arguments);
    if (m_process.waitForReadyRead(10000))
        m_port = static_cast<quint16>(m_process.readLine().trimmed().toUInt());
}

ConnectProxy::~ConnectProxy() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString ConnectProxy::url() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QStringList ConnectProxy::requests() const {
    QFile log(m_dir.filePath(QStringLiteral("connect.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace veldra::test
