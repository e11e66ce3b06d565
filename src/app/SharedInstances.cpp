// The application's production instances, and the one place that hands each
// its collaborators. Each is made on first use and never released.
#include "launcher/RdpLauncher.h"
#include "platform/Architecture.h"
#include "platform/Bundle.h"
#include "platform/Screens.h"
#include "platform/UserDefaults.h"
#include "platform/UserDirectories.h"
#include "settings/SettingsManager.h"
#include "updater/Installer.h"
#include "updater/MacUpdater.h"
#include "updater/Version.h"
#include "veldra/BuildConstants.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace veldra {

namespace {

// The system programs of the install path: their fixed paths, except in the
// local demo, whose build names a folder of stand-ins.
SystemTools productionTools() {
    SystemTools tools;
    if (const QString dir = QString::fromUtf8(build::kSystemToolsDir); !dir.isEmpty()) {
        for (QString* tool : {&tools.hdiutil, &tools.codesign, &tools.lipo, &tools.osascript,
                              &tools.ditto, &tools.xattr, &tools.open})
            *tool = dir + QLatin1Char('/') + QFileInfo(*tool).fileName();
    }
    return tools;
}

} // namespace

SettingsManager& SettingsManager::shared() {
    static SettingsManager* instance =
        new SettingsManager(platform::openUserDefaults(QString::fromUtf8(build::kBundleId)));
    return *instance;
}

RdpLauncher& RdpLauncher::shared() {
    static RdpLauncher* instance = new RdpLauncher(Configuration{
        QString::fromUtf8(build::kRdpHost),
        [] { return platform::mainBundlePath(); },
        [] { return clientLogPath(platform::userLibraryDirectory()); },
        [] { return platform::firstScreen(); },
        [] { return MacUpdater::shared().isDownloading(); },
        kOpenedAfter,
    });
    return *instance;
}

MacUpdater& MacUpdater::shared() {
    static MacUpdater* instance = [] {
        auto installer = std::make_shared<Installer>(Installer::Configuration{
            productionTools(),
            QString::fromUtf8(build::kBundleId),
            platform::mainBundlePath(),
            QDir::tempPath(),
            QCoreApplication::applicationPid(),
            {},
            // Called on the updater's worker thread once the script runs.
            [] {
                QMetaObject::invokeMethod(&MacUpdater::shared(), &MacUpdater::finishAndTerminate,
                                          Qt::QueuedConnection);
            },
            QString::fromUtf8(build::kCodeSignRequirement),
        });

        Configuration config;
        config.server = UpdateServer::production();
        // Parsed with the session's first use, not at start.
        config.trustedCaPem = QByteArray(build::kUpdateCaPem);
        // Checked at configure time; a key that still fails to parse trusts
        // no manifest rather than every one.
        if (const QString key = QString::fromLatin1(build::kUpdatePublicKey); !key.isEmpty())
            config.publicKey = parseMinisignPublicKey(key).value_or(MinisignKey{});
        config.temporaryDirectory = QDir::tempPath();
        config.currentVersion = [] { return currentAppVersion(); };
        config.isSessionRunning = [] { return RdpLauncher::shared().isSessionRunning(); };
        config.installUpdate = [installer](const QString& image, const QString& version,
                                           platform::Architecture architecture) {
            return installer->installUpdate(image, version, architecture);
        };
        config.runningCopy = platform::runningCopy();
        // The network manager is made at the first check, not at start.
        auto* updater = new MacUpdater(std::move(config), nullptr);
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, updater,
                         &MacUpdater::discardDownload);
        return updater;
    }();
    return *instance;
}

} // namespace veldra
