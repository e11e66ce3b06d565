#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

namespace veldra::test {

// Certificates made once per process with openssl: a CA and from it "server" (localhost,
// 127.0.0.1, updates.test.example), "other" (another name), "expired"; a self-signed "self".
struct TestPki {
    QString dir, caPem, serverPem, serverKey;
    QList<QSslCertificate> ca() const;
    static const TestPki& instance();
};

// The loopback server of tests/support/https_server, stopped when this goes.
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

} // namespace veldra::test
