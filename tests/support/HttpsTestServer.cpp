#include "HttpsTestServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace veldra::test {

const TestPki& TestPki::instance() {
    static QTemporaryDir folder;
    static const TestPki pki = [] {
        QProcess shell;
        shell.setWorkingDirectory(folder.path());
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start("/bin/sh", {"-ec", R"(exec 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Test CA' \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 2 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost
for spec in 'server 2 DNS:localhost,DNS:updates.test.example,IP:127.0.0.1' 'other 2 DNS:other.example' \
            'expired 0 DNS:localhost,IP:127.0.0.1'; do
  set -- $spec
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1"
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$3" > "$1.ext"
  [ "$2" = 0 ] || openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -days "$2" -extfile "$1.ext" -out "$1.pem"
done
# The Mac's LibreSSL x509 takes no -days under 1; ca takes past dates, as OpenSSL's does.
printf '[d]\ndatabase=index\nserial=ca.srl\n[p]\ncommonName=supplied\n' > ca.cnf && : > index
openssl ca -batch -config ca.cnf -name d -policy p -outdir . -md sha256 -cert ca.pem -keyfile ca.key \
  -in expired.csr -extfile expired.ext -startdate 200101000000Z -enddate 200102000000Z -notext -out expired.pem)"});
        if (!shell.waitForFinished(60000) || shell.exitCode() != 0)
            qWarning("openssl failed: %s", shell.readAll().constData());
        const QString dir = folder.path();
        return TestPki{dir, dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
    }();
    return pki;
}

QList<QSslCertificate> TestPki::ca() const {
    QFile file(caPem);
    return file.open(QIODevice::ReadOnly) ? QSslCertificate::fromData(file.readAll(), QSsl::Pem)
                                          : QList<QSslCertificate>();
}

HttpsTestServer::HttpsTestServer(Mode mode, quint16 port) : m_mode(mode) {
    static const char* const certificates[] = {"server", "self", nullptr, "other", "expired"};
    const QString dir = TestPki::instance().dir + '/';
    const char* name = certificates[int(mode)];
    QStringList arguments{"--root", m_root.path(), "--port", QString::number(port)};
    arguments << (name ? QStringList{"--cert", dir + name + ".pem", "--key", dir + name + ".key"}
                       : QStringList{"--plain"});
    setRoutes({});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(HTTPS_SERVER_PATH, arguments);
    if (m_process.waitForReadyRead(10000))
        m_port = static_cast<quint16>(m_process.readLine().trimmed().toUInt());
}

HttpsTestServer::~HttpsTestServer() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString HttpsTestServer::url(const QString& path) const {
    const char* scheme = m_mode == Mode::plain ? "http" : "https";
    return QString("%1://localhost:%2%3").arg(scheme).arg(m_port).arg(path);
}

void HttpsTestServer::setRoutes(const QJsonObject& routes) const {
    writeFile("routes.json", QJsonDocument(routes).toJson());
}

void HttpsTestServer::writeFile(const QString& name, const QByteArray& bytes) const {
    QSaveFile file(m_root.filePath(name)); // written aside and renamed: never read half-written
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}

QStringList HttpsTestServer::requests() const {
    QFile log(m_root.filePath("requests.log"));
    return log.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts)
               : QStringList();
}

} // namespace veldra::test
