// An update image downloaded and verified by the updater, against curl
// fetching the same URL to a file, from three servers: the project's own
// loopback HTTPS server, and nginx over HTTP/1.1 and over HTTP/2 (as most
// real servers and CDNs answer). Prints each throughput ratio (goal: at
// least 0.95) and each growth of peak resident memory (goal: under 32 MiB).
// Argument: the image size in bytes (default 500 MiB).
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "updater/engine/MacUpdater.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>

#include <csignal>
#include <cstdio>
#include <functional>

using namespace veldra;
using namespace std::chrono_literals;

namespace {

qint64 statusKiB(const char* field) {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return -1;
}

void resetPeak() {
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5"); // resets VmHWM to the current RSS
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// nginx in the foreground as this user, one server block per protocol,
// serving `root`; stopped by PID when this object goes.
class Nginx {
public:
    Nginx(const QString& root, const QString& dir) {
        const auto& pki = test::TestPki::instance();
        http1Port = freePort();
        http2Port = freePort();
        const QString server =
            QStringLiteral("  server { listen 127.0.0.1:%1 ssl%2; server_name localhost; root %3;\n"
                           "    ssl_certificate %4; ssl_certificate_key %5; }\n");
        QFile conf(dir + "/nginx.conf");
        if (!conf.open(QIODevice::WriteOnly))
            return;
        conf.write(QStringLiteral("daemon off; master_process off; worker_processes 1;\n"
                                  "pid %1/nginx.pid; error_log %1/error.log;\n"
                                  "events { worker_connections 64; }\n"
                                  "http { access_log off; sendfile on; tcp_nopush on;\n"
                                  "  client_body_temp_path %1; proxy_temp_path %1;\n"
                                  "  fastcgi_temp_path %1; uwsgi_temp_path %1; scgi_temp_path %1;\n"
                                  "  types { application/octet-stream dmg; }\n")
                       .arg(dir)
                       .toUtf8());
        conf.write(server.arg(http1Port).arg("", root, pki.serverPem, pki.serverKey).toUtf8());
        conf.write(
            server.arg(http2Port).arg(" http2", root, pki.serverPem, pki.serverKey).toUtf8());
        conf.write("}\n");
        conf.close();
        const QString nginx = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/sbin"});
        if (nginx.isEmpty())
            return;
        m_process.start(nginx, {"-p", dir, "-c", dir + "/nginx.conf"});
        running =
            m_process.waitForStarted() && test::waitUntil(
                                              [this] {
                                                  QTcpSocket socket;
                                                  socket.connectToHost("127.0.0.1", http2Port);
                                                  return socket.waitForConnected(100);
                                              },
                                              5000);
    }
    ~Nginx() {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
            m_process.waitForFinished(5000);
        }
    }
    bool running = false;
    quint16 http1Port = 0, http2Port = 0;

private:
    QProcess m_process;
};

struct Result {
    double ours = 1e18, curl = 1e18, peakGrowthMiB = 0;
};

// One check and download by the updater from the server on `port`, timed from
// the start of the download to the hand-over of the verified image;
// `beforeDownload` runs just before it starts.
std::optional<double> downloadOnce(quint16 port, const QString& temp,
                                   const std::function<void()>& beforeDownload = {}) {
    double installedAt = -1;
    QElapsedTimer timer;
    MacUpdater::Configuration config;
    config.server = {"localhost", port};
    config.trustedCas = test::TestPki::instance().ca();
    config.temporaryDirectory = temp;
    config.currentVersion = [] { return QStringLiteral("1.0"); };
    config.isSessionRunning = [] { return false; };
    config.installUpdate = [&](const QString& image, const QString&, platform::Architecture,
                               const QString&) -> std::optional<UpdateFailure> {
        installedAt = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        QFile::remove(image);
        return std::nullopt;
    };
    config.timings.firstCheck = 3'600'000ms;
    MacUpdater updater(std::move(config), std::make_unique<QNetworkAccessManager>());
    bool checked = false;
    updater.checkForUpdates(true, [&](bool) { checked = true; });
    test::waitUntil([&] { return checked; }, 10000);
    if (!updater.hasUpdate()) {
        std::fprintf(stderr, "no update offered: %s\n", qPrintable(updater.statusMessage()));
        return std::nullopt;
    }
    if (beforeDownload)
        beforeDownload();
    timer.start();
    updater.startDownload();
    test::waitUntil([&] { return installedAt >= 0 || !updater.isDownloading(); }, 600000);
    if (installedAt < 0) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(updater.statusMessage()));
        return std::nullopt;
    }
    return installedAt;
}

// Best of three alternating rounds (both sides see the same page cache);
// memory growth is the worst of the three.
// version.json offering the image at `port`.
bool writeManifest(const QString& root, quint16 port, const QString& digest) {
    const QString url = QStringLiteral("https://localhost:%1/image.dmg").arg(port);
    QFile manifest(root + "/version.json");
    return manifest.open(QIODevice::WriteOnly) &&
           manifest.write(QJsonDocument(QJsonObject{{"mac_version", "9.0"},
                                                    {"mac_x64_url", url},
                                                    {"mac_x64_sha256", digest}})
                              .toJson()) > 0;
}

std::optional<Result> measure(const QString& root, quint16 port, const QString& curlProtocol,
                              const QString& digest, qint64 size, const QString& temp) {
    const QString url = QStringLiteral("https://localhost:%1/image.dmg").arg(port);
    if (!writeManifest(root, port, digest))
        return std::nullopt;
    Result result;
    for (int round = 0; round < 3; ++round) {
        qint64 rssBefore = 0;
        const auto seconds = downloadOnce(port, temp, [&] {
            rssBefore = statusKiB("VmRSS:");
            resetPeak();
        });
        const qint64 peak = statusKiB("VmHWM:");
        if (!seconds)
            return std::nullopt;
        const double installedAt = *seconds;
        result.ours = std::min(result.ours, installedAt);
        result.peakGrowthMiB =
            std::max(result.peakGrowthMiB, static_cast<double>(peak - rssBefore) / 1024.0);

        QProcess curl;
        QElapsedTimer curlTimer;
        curlTimer.start();
        curl.start("curl", {"-sS", "--fail", curlProtocol, "--cacert",
                            test::TestPki::instance().caPem, "-o", temp + "/curl.dmg", url});
        curl.waitForFinished(-1);
        result.curl = std::min(result.curl, static_cast<double>(curlTimer.nsecsElapsed()) / 1e9);
        if (curl.exitCode() != 0 || QFileInfo(temp + "/curl.dmg").size() != size) {
            std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
            return std::nullopt;
        }
        QFile::remove(temp + "/curl.dmg");
    }
    return result;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : 500LL * 1024 * 1024;
    test::HttpsTestServer server;
    if (!server.isRunning())
        return 1;
    server.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}},
                      {"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});

    // The image, written straight into the served folder, and its digest.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    {
        QFile file(server.root() + "/image.dmg");
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(1 << 20, Qt::Uninitialized);
        QRandomGenerator generator(9);
        for (qint64 written = 0; written < size; written += block.size()) {
            generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            const QByteArray part = block.left(std::min<qint64>(block.size(), size - written));
            file.write(part);
            hash.addData(part);
        }
    }
    const QString digest = QString::fromLatin1(hash.result().toHex());
    QTemporaryDir temp, nginxDir;
    const Nginx nginx(server.root(), nginxDir.path());
    if (!nginx.running)
        std::fprintf(stderr, "nginx did not start (install nginx-light); measuring the "
                             "project's server only\n");

    struct Source {
        const char* name;
        quint16 port;
        const char* curlProtocol;
    };
    std::vector<Source> sources{{"project server, HTTP/1.1", server.port(), "--http1.1"}};
    if (nginx.running) {
        sources.push_back({"nginx, HTTP/1.1", nginx.http1Port, "--http1.1"});
        sources.push_back({"nginx, HTTP/2", nginx.http2Port, "--http2"});
    }
    std::printf("image: %.0f MiB; best of 3 rounds each\n", static_cast<double>(size) / 1048576);
    std::printf("%-26s %9s %9s %7s %s\n", "source", "ours (s)", "curl (s)", "ratio",
                "peak growth (MiB)");
    bool met = true;
    for (const Source& source : sources) {
        const auto result =
            measure(server.root(), source.port, source.curlProtocol, digest, size, temp.path());
        if (!result)
            return 1;
        const double ratio = result->curl / result->ours;
        std::printf("%-26s %9.2f %9.2f %7.2f %.1f\n", source.name, result->ours, result->curl,
                    ratio, result->peakGrowthMiB);
        met = met && ratio >= 0.95 && result->peakGrowthMiB < 32;
    }
    std::printf("goals: ratio (curl time / ours) >= 0.95, peak growth < 32 MiB: %s\n",
                met ? "met" : "not met");

    // The connection cut once at half the image: what the server sent in all
    // (the manifest too), over the image's size.
    server.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}},
                      {"/image.dmg", QJsonObject{{"file", "image.dmg"},
                                                 {"etag", "\"bench\""},
                                                 {"ranges", true},
                                                 {"dropAt", QJsonArray{size / 2}}}}});
    QFile::remove(server.root() + "/sent.log");
    if (!writeManifest(server.root(), server.port(), digest) ||
        !downloadOnce(server.port(), temp.path()))
        return 1;
    QFile sentLog(server.root() + "/sent.log");
    qint64 sent = 0;
    if (sentLog.open(QIODevice::ReadOnly))
        for (const QByteArray& line : sentLog.readAll().split('\n'))
            sent += line.toLongLong();
    const double resent = static_cast<double>(sent) / static_cast<double>(size);
    std::printf("dropped once at 50 %%: sent %.3f of the image's size (goal <= 1.05): %s\n", resent,
                resent <= 1.05 ? "met" : "not met");
    return 0;
}
