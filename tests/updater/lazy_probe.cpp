// Runs the application's lazy updater with only what the application links:
//   lazy_probe MODULE PORT CA-PEM TEMP-DIR
// It prints whether the network stack and libcrypto are loaded before the
// first check and after it, and what the check published.
#include "updater/LazyUpdater.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <link.h>
#endif

using namespace veldra;

namespace {

// The names of the images loaded into this process.
QStringList loadedImages() {
    QStringList names;
#if defined(__APPLE__)
    for (uint32_t i = 0; i < _dyld_image_count(); ++i)
        names << QString::fromUtf8(_dyld_get_image_name(i));
#else
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            static_cast<QStringList*>(out)->append(QString::fromUtf8(info->dlpi_name));
            return 0;
        },
        &names);
#endif
    return names;
}

QString loaded() {
    const QStringList images = loadedImages();
    const auto has = [&](std::initializer_list<const char*> parts) {
        for (const char* part : parts)
            if (!images.filter(QLatin1String(part)).isEmpty())
                return QStringLiteral("yes");
        return QStringLiteral("no");
    };
    // Qt6Network on Linux, QtNetwork.framework on macOS; OpenSSL 3's libcrypto
    // (not the system's own LibreSSL one, which macOS may load for itself).
    return QStringLiteral("network=%1 crypto=%2")
        .arg(has({"Qt6Network", "QtNetwork"}), has({"libcrypto.so.3", "libcrypto.3.dylib"}));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5)
        return 2;
    QFile ca(args.at(3));
    if (!ca.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray caPem = ca.readAll();
    LazyUpdater updater(
        args.at(1),
        [&] {
            UpdateEngineWiring wiring;
            wiring.server = {QStringLiteral("localhost"), static_cast<int>(args.at(2).toUInt())};
            wiring.trustedCaPem = caPem;
            wiring.temporaryDirectory = args.at(4);
            wiring.currentVersion = [] { return QStringLiteral("2.0.0"); };
            wiring.isSessionRunning = [] { return false; };
            return wiring;
        },
        std::chrono::milliseconds(500));
    std::printf("before the first check: %s\n", qPrintable(loaded()));
    int presented = 0;
    QObject::connect(&updater, &UpdaterState::shouldPresentUpdateChanged, &app, [&] {
        if (!updater.shouldPresentUpdate() || ++presented > 1)
            return;
        std::printf("after it: %s\n", qPrintable(loaded()));
        std::printf("offered %s\n", qPrintable(updater.latestVersion()));
        // "Later", which the engine must hear: the next check republishes its
        // state, and the same version is not presented again.
        updater.setShouldPresentUpdate(false);
        updater.checkForUpdates(true, [](bool) {
            QTimer::singleShot(200, QCoreApplication::instance(),
                               [] { QCoreApplication::exit(0); });
        });
    });
    QTimer::singleShot(15000, &app, [] { QCoreApplication::exit(1); });
    const int status = QCoreApplication::exec();
    std::printf("presented %d time(s)\n", presented);
    std::fflush(stdout);
    return status;
}
