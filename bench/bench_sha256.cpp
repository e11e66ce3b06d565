// sha256Hex on a 500 MiB file against `openssl dgst -sha256` on the same file.
// Prints the throughput ratio (goal: at least 0.95).
#include "updater/fetching/Sha256.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : 500LL * 1024 * 1024;
    QTemporaryDir dir;
    const QString path = dir.path() + "/image.dmg";
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray block(1 << 20, Qt::Uninitialized);
        QRandomGenerator generator(7);
        for (qint64 written = 0; written < size; written += block.size()) {
            generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            file.write(block.constData(), std::min<qint64>(block.size(), size - written));
        }
    }
    double ours = 1e18, reference = 1e18;
    QString ourDigest, theirDigest;
    for (int round = 0; round < 3; ++round) { // best of three, alternating, file in page cache
        QElapsedTimer timer;
        timer.start();
        ourDigest = std::get<QString>(veldra::sha256Hex(path));
        ours = std::min(ours, static_cast<double>(timer.nsecsElapsed()) / 1e9);

        QProcess openssl;
        timer.restart();
        openssl.start("openssl", {"dgst", "-sha256", "-r", path});
        openssl.waitForFinished(-1);
        reference = std::min(reference, static_cast<double>(timer.nsecsElapsed()) / 1e9);
        theirDigest = QString::fromLatin1(openssl.readAllStandardOutput().left(64));
    }
    if (ourDigest != theirDigest) {
        std::fprintf(stderr, "digests differ: %s vs %s\n", qPrintable(ourDigest),
                     qPrintable(theirDigest));
        return 1;
    }
    const double mib = static_cast<double>(size) / 1048576.0;
    std::printf("sha256Hex:          %.3f s  (%.0f MiB/s)\n", ours, mib / ours);
    std::printf("openssl dgst:       %.3f s  (%.0f MiB/s)\n", reference, mib / reference);
    std::printf("throughput ratio (ours / openssl): %.2f  (goal >= 0.95)\n", reference / ours);
    return 0;
}
