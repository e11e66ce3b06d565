// A stand-in for the installed application during an update: it checks the
// loopback update server, accepts the offer as a user would, and hands over
// to the install script, which then replaces the bundle it runs as.
//   update_client <port> <ca.pem> <temp dir> <installed bundle>
#include "UpdateImage.h"
#include "updater/Installer.h"
#include "updater/MacUpdater.h"
#include "updater/Version.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QThread>
#include <QTimer>

using namespace veldra;
using namespace std::chrono_literals;

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    const QString bundle = args.at(4);
    QFile ca(args.at(2));
    ca.open(QIODevice::ReadOnly);

    MacUpdater* updater = nullptr;
    Installer installer({test::fakeTools(),
                         "com.veldra.clouddesktop",
                         bundle,
                         args.at(3),
                         QCoreApplication::applicationPid(),
                         {},
                         [&] {
                             QMetaObject::invokeMethod(updater, &MacUpdater::finishAndTerminate,
                                                       Qt::QueuedConnection);
                         },
                         {}});
    MacUpdater::Configuration config;
    config.server = {"localhost", static_cast<int>(args.at(1).toUInt())};
    config.trustedCas = QSslCertificate::fromData(ca.readAll(), QSsl::Pem);
    config.temporaryDirectory = args.at(3);
    config.currentVersion = [bundle] { return appVersionOfBundle(bundle); };
    config.isSessionRunning = [] { return false; };
    config.installUpdate = [&](const QString& image, const QString& version,
                               platform::Architecture architecture) {
        return installer.installUpdate(image, version, architecture);
    };
    config.timings.firstCheck = 3'600'000ms;
    auto instance =
        std::make_unique<MacUpdater>(std::move(config), std::make_unique<QNetworkAccessManager>());
    updater = instance.get();

    QTextStream out(stdout);
    QObject::connect(updater, &UpdaterState::statusMessageChanged, [&] {
        out << updater->statusMessage() << Qt::endl;
        if (!updater->isDownloading() && updater->statusMessage() != "Update available" &&
            updater->statusMessage() != QString::fromUtf8("Installing and restarting…"))
            QCoreApplication::exit(5);
    });
    updater->checkForUpdates(true, [&](bool found) {
        if (!found)
            QCoreApplication::exit(3);
        else if (updater->shouldPresentUpdate())
            updater->startDownload(); // "Download and Install"
    });
    QTimer::singleShot(60'000, [] { QCoreApplication::exit(4); });
    const int code = QCoreApplication::exec();
    instance.reset();
    // The network stack's own thread frees OpenSSL's per-thread state only as
    // it exits, after the updater has stopped waiting for it: give it that
    // moment before the leak check at exit looks.
    QThread::msleep(200);
    return code;
}
