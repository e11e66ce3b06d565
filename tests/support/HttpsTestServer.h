#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

namespace veldra::test {

// Certificates made for this test run with openssl: a CA; a server
// certificate it signed for localhost, updates.test.example and 127.0.0.1;
// one it signed for another name; an expired one; and an unrelated
// self-signed one.
struct TestPki {
    QString dir;
    QString caPem, serverPem, serverKey, selfSignedPem, selfSignedKey;
    QString otherNamePem, otherNameKey, expiredPem, expiredKey;
    QList<QSslCertificate> ca() const;
    static const TestPki& instance(); // made once per process
};

// The loopback HTTPS server of tests/support/https_server, stopped by PID
// when this object goes.
class HttpsTestServer {
public:
    enum class Mode { trusted, selfSigned, plain, otherName, expired };
    explicit HttpsTestServer(Mode mode = Mode::trusted, quint16 port = 0);
    ~HttpsTestServer();

    bool isRunning() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    QString root() const { return m_root.path(); }
    QString url(const QString& path) const; // https://localhost:<port><path>

    void setRoutes(const QJsonObject& routes) const;
    void writeFile(const QString& name, const QByteArray& bytes) const;
    QStringList requests() const; // "<method> <target> | <User-Agent>"

private:
    QTemporaryDir m_root;
    QProcess m_process;
    quint16 m_port = 0;
    Mode m_mode;
};

// The loopback CONNECT proxy of tests/support/connect_proxy, stopped by PID
// when this object goes. `map` sends tunnels to NAME:PORT to 127.0.0.1 ports,
// one per tunnel in turn (the last from then on); nothing is ever resolved.
class ConnectProxy {
public:
    ConnectProxy(const QString& target, const QList<quint16>& ports, bool refuse = false);
    ~ConnectProxy();

    bool isRunning() const { return m_port != 0; }
    QString url() const;          // http://127.0.0.1:<port>
    QStringList requests() const; // "CONNECT name:port HTTP/1.1"

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace veldra::test
