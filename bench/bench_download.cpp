// A 500 MiB update image downloaded from the loopback HTTPS server and
// verified by the updater, against curl fetching the same URL to a file.
// Prints the throughput ratio (goal: at least 0.8) and the growth of peak
// resident memory during the download (goal: under 32 MiB).
#include "HttpsTestServer.h"
#include "TestBundle.h"
#include "updater/MacUpdater.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>

#include <cstdio>

using namespace veldra;
using namespace std::chrono_literals;

namespace {

qint64 statusKiB(const char* field) {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
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

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : 500LL * 1024 * 1024;
    test::HttpsTestServer server;
    if (!server.isRunning())
        return 1;

    // The image, written straight into the served folder, and its digest.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    {
        QFile file(server.root() + "/image.dmg");
        file.open(QIODevice::WriteOnly);
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
    const QString url = server.url("/image.dmg");
    server.writeFile("version.json", QJsonDocument(QJsonObject{{"mac_version", "9.0"},
                                                               {"mac_x64_url", url},
                                                               {"mac_x64_sha256", digest}})
                                         .toJson());
    server.setRoutes({{"/version.json", QJsonObject{{"file", "version.json"}}},
                      {"/image.dmg", QJsonObject{{"file", "image.dmg"}}}});

    QTemporaryDir temp;
    // Best of three alternating rounds: both sides see the same page cache.
    double ours = 1e18, curlBest = 1e18;
    double peakGrowthMiB = 0;
    for (int round = 0; round < 3; ++round) {
        double installedAt = -1;
        QElapsedTimer timer;
        MacUpdater::Configuration config;
        config.server = {"localhost", server.port()};
        config.trustedCas = test::TestPki::instance().ca();
        config.temporaryDirectory = temp.path();
        config.currentVersion = [] { return QStringLiteral("1.0"); };
        config.isSessionRunning = [] { return false; };
        config.installUpdate = [&](const QString& image,
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
            return 1;
        }
        const qint64 rssBefore = statusKiB("VmRSS:");
        resetPeak();
        timer.start();
        updater.startDownload();
        test::waitUntil([&] { return installedAt >= 0 || !updater.isDownloading(); }, 600000);
        const qint64 peak = statusKiB("VmHWM:");
        if (installedAt < 0) {
            std::fprintf(stderr, "download failed: %s\n", qPrintable(updater.statusMessage()));
            return 1;
        }
        ours = std::min(ours, installedAt);
        peakGrowthMiB = std::max(peakGrowthMiB, static_cast<double>(peak - rssBefore) / 1024.0);

        QProcess curl;
        QElapsedTimer curlTimer;
        curlTimer.start();
        curl.start("curl", {"-sS", "--fail", "--cacert", test::TestPki::instance().caPem, "-o",
                            temp.path() + "/curl.dmg", url});
        curl.waitForFinished(-1);
        curlBest = std::min(curlBest, static_cast<double>(curlTimer.nsecsElapsed()) / 1e9);
        if (curl.exitCode() != 0 || QFileInfo(temp.path() + "/curl.dmg").size() != size) {
            std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
            return 1;
        }
        QFile::remove(temp.path() + "/curl.dmg");
    }
    const double mib = static_cast<double>(size) / 1048576.0;
    std::printf("updater download + verify: %.2f s  (%.0f MiB/s), best of 3\n", ours, mib / ours);
    std::printf("curl download:             %.2f s  (%.0f MiB/s), best of 3\n", curlBest,
                mib / curlBest);
    std::printf("throughput ratio (ours / curl): %.2f  (goal >= 0.8)\n", curlBest / ours);
    std::printf("peak resident memory growth: %.1f MiB, worst of 3  (goal < 32 MiB)\n",
                peakGrowthMiB);
    return 0;
}
