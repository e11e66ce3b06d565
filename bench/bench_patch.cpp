// What a patch saves on one release: the patch from OLD.app to NEW.app against
// the image users would otherwise download, a gzip -9 tar of NEW.app (a Mac
// image is UDZO, zlib too, and no smaller than gzip -9 of the same folder: the
// real saving is at least the one shown). Prints the size ratio
// patch / image (goal: at most 0.01) and the time to apply the patch onto
// OLD.app, both tree digests included as the updater takes them, against the
// time to unpack the image, each the median of 5 alternating runs.
// Arguments: OLD.app NEW.app [work folder, default a temporary one].
#include "updater/patches/BundlePatch.h"
#include "updater/patches/TreeDigest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

using namespace veldra;

namespace {

constexpr int kRuns = 5;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double seconds(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

bool finishedWell(QProcess& process, const char* what) {
    process.waitForFinished(-1);
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    std::fprintf(stderr, "%s failed: %s\n", what, process.readAllStandardError().constData());
    return false;
}

// tar -c of the app under its own name, through gzip -9 (-n: no time stamp).
bool makeImage(const QString& app, const QString& image) {
    const QFileInfo info(app);
    QProcess tar, gzip;
    tar.setStandardOutputProcess(&gzip);
    gzip.setStandardOutputFile(image);
    gzip.start("gzip", {"-9", "-n"});
    tar.start("tar", {"-C", info.absolutePath(), "-cf", "-", info.fileName()});
    return finishedWell(tar, "tar -c") && finishedWell(gzip, "gzip -9");
}

bool unpackImage(const QString& image, const QString& folder) {
    if (!QDir().mkpath(folder))
        return false;
    QProcess tar;
    tar.start("tar", {"-xzf", image, "-C", folder});
    return finishedWell(tar, "tar -x");
}

// What the patch stores for each file it does not keep: the listing's path,
// how and size against the stored frame's size, largest frame first.
struct Stored {
    QString path;
    QString how;
    qint64 size = 0;
    qint64 frame = 0;
};

std::vector<Stored> storedFiles(const QString& patch) {
    std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), archive_read_free);
    archive* a = reader.get();
    if (!a || archive_read_support_format_tar(a) != ARCHIVE_OK ||
        archive_read_open_filename(a, QFile::encodeName(patch).constData(), 65'536) != ARCHIVE_OK)
        return {};
    std::map<QString, qint64> frames;
    QByteArray header;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        const QString name = QString::fromUtf8(archive_entry_pathname(entry));
        if (name == QLatin1String(kPatchHeaderName)) {
            header.resize(static_cast<qsizetype>(archive_entry_size(entry)));
            for (qsizetype done = 0; done < header.size();) {
                const la_ssize_t got = archive_read_data(a, header.data() + done,
                                                         static_cast<size_t>(header.size() - done));
                if (got <= 0)
                    return {};
                done += got;
            }
        } else {
            frames[name] = archive_entry_size(entry);
        }
    }
    std::vector<Stored> stored;
    const QJsonArray entries = QJsonDocument::fromJson(header).object().value("entries").toArray();
    for (const QJsonValue& value : entries) {
        const QJsonObject item = value.toObject();
        const QString data = item.value("data").toString();
        if (!data.isEmpty())
            stored.push_back({item.value("path").toString(), item.value("how").toString(),
                              item.value("size").toInteger(), frames[data]});
    }
    std::sort(stored.begin(), stored.end(),
              [](const Stored& one, const Stored& other) { return one.frame > other.frame; });
    return stored;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OLD.app NEW.app [work folder]\n", argv[0]);
        return 2;
    }
    const QString oldApp = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString newApp = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    QTemporaryDir temporary;
    const QString work =
        argc > 3 ? QFileInfo(QString::fromLocal8Bit(argv[3])).absoluteFilePath() : temporary.path();
    if (!QDir().mkpath(work) || (argc <= 3 && !temporary.isValid())) {
        std::fprintf(stderr, "no work folder\n");
        return 1;
    }
    const QString patch = work + "/update.patch";
    const QString image = work + "/image.tar.gz";
    const QString applied = work + "/applied.app";
    const QString unpacked = work + "/unpacked";
    QFile::remove(patch);
    removeBundleCopy(applied);
    removeBundleCopy(unpacked);

    QElapsedTimer timer;
    timer.start();
    const auto made = makeBundlePatch(oldApp, newApp, patch);
    const double makeSeconds = seconds(timer);
    if (const auto* failure = std::get_if<PatchProblem>(&made)) {
        std::fprintf(stderr, "makeBundlePatch: %s\n", qPrintable(failure->message));
        return 1;
    }
    const PatchHeader& header = std::get<PatchHeader>(made);
    std::printf("patch %s -> %s made in %.2f s: %d kept, %d patched, %d added, %d removed\n",
                qPrintable(header.fromVersion), qPrintable(header.toVersion), makeSeconds,
                header.kept, header.patched, header.added, header.removed);

    timer.restart();
    if (!makeImage(newApp, image))
        return 1;
    std::printf("image (tar | gzip -9) made in %.2f s\n", seconds(timer));

    const qint64 patchBytes = QFileInfo(patch).size();
    const qint64 imageBytes = QFileInfo(image).size();
    const double sizeRatio = static_cast<double>(patchBytes) / static_cast<double>(imageBytes);
    std::printf("patch: %lld bytes; image: %lld bytes\n", static_cast<long long>(patchBytes),
                static_cast<long long>(imageBytes));
    std::printf("size ratio (patch / image): %.4f  (goal <= 0.01): %s\n", sizeRatio,
                sizeRatio <= 0.01 ? "met" : "not met");
    const std::vector<Stored> stored = storedFiles(patch);
    for (size_t i = 0; i < std::min<size_t>(stored.size(), 8); ++i)
        std::printf("  %-5s %9lld -> %8lld bytes  %s\n", qPrintable(stored[i].how),
                    static_cast<long long>(stored[i].size), static_cast<long long>(stored[i].frame),
                    qPrintable(stored[i].path));
    if (stored.size() > 8)
        std::printf("  ... and %zu more stored files\n", stored.size() - 8);

    // Alternating, so that both see the same page cache and machine load.
    std::vector<double> applyTimes, unpackTimes;
    for (int run = 0; run < kRuns; ++run) {
        timer.restart();
        const auto result = applyBundlePatch(patch, oldApp, applied);
        applyTimes.push_back(seconds(timer));
        if (const auto* failure = std::get_if<PatchProblem>(&result)) {
            std::fprintf(stderr, "applyBundlePatch: %s\n", qPrintable(failure->message));
            return 1;
        }
        removeBundleCopy(applied);

        timer.restart();
        const bool unpackedWell = unpackImage(image, unpacked);
        unpackTimes.push_back(seconds(timer));
        if (!unpackedWell)
            return 1;
        if (run == 0) {
            // The image must hold exactly what the patch makes.
            const auto digest = treeDigest(unpacked + '/' + QFileInfo(newApp).fileName());
            const auto* value = std::get_if<QString>(&digest);
            if (!value || *value != header.resultTree) {
                std::fprintf(stderr, "the unpacked image is not %s\n", qPrintable(newApp));
                return 1;
            }
        }
        removeBundleCopy(unpacked);
    }
    const double apply = median(applyTimes), unpack = median(unpackTimes);
    std::printf("apply patch (median of %d):   %.3f s\n", kRuns, apply);
    std::printf("unpack image (median of %d):  %.3f s\n", kRuns, unpack);
    std::printf("time ratio (apply / unpack): %.2f\n", apply / unpack);
    return 0;
}
