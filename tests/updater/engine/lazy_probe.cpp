// Runs the application's lazy updater with only what the application links:
//   lazy_probe MODULE PORT CA-PEM TEMP-DIR
// and prints whether the network stack and libcrypto are loaded before the
// first check and after it, and what the check published.
#include "updater/engine/LazyUpdater.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <link.h>
#endif

using namespace veldra;

namespace {

QString loaded() {
    QStringList images;
#if defined(__APPLE__)
    for (uint32_t i = 0; i < _dyld_image_count(); ++i)
        images << QString::fromUtf8(_dyld_get_image_name(i));
#else
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            static_cast<QStringList*>(out)->append(QString::fromUtf8(info->dlpi_name));
            return 0;
        },
        &images);
#endif
    // Qt6Network or QtNetwork.framework; OpenSSL 3's libcrypto, not the
    // system's own LibreSSL one, which macOS may load for itself.
    const auto has = [&](const char* elf, const char* macho) {
        return images.filter(elf).isEmpty() && images.filter(macho).isEmpty() ? "no" : "yes";
    };
    return QString("network=%1 crypto=%2")
        .arg(has("Qt6Network", "QtNetwork"), has("libcrypto.so.3", "libcrypto.3.dylib"));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QFile ca(args.value(3));
    if (args.size() != 5 || !ca.open(QIODevice::ReadOnly))
        return 2;
    UpdateEngineWiring wiring;
    wiring.server = {"localhost", static_cast<int>(args.at(2).toUInt())};
    wiring.trustedCaPem = ca.readAll();
    wiring.temporaryDirectory = args.at(4);
    wiring.currentVersion = [] { return QStringLiteral("2.0.0"); };
    wiring.isSessionRunning = [] { return false; };
    LazyUpdater updater(
        args.at(1), [&] { return wiring; }, std::chrono::milliseconds(500));
    std::printf("before the first check: %s\n", qPrintable(loaded()));
    int presented = 0;
    QObject::connect(&updater, &UpdaterState::shouldPresentUpdateChanged, &app, [&] {
        if (!updater.shouldPresentUpdate() || ++presented > 1)
            return;
        std::printf("after it: %s\noffered %s\n", qPrintable(loaded()),
                    qPrintable(updater.latestVersion()));
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
    return status;
}
