// The application's production instances, and the one place that hands each
// its collaborators. Each is made on first use and never released. The
// updater proper is a module, loaded at the first check (LazyUpdater).
#include "launcher/RdpLauncher.h"
#include "platform/Architecture.h"
#include "platform/Bundle.h"
#include "platform/ManagedPreferences.h"
#include "platform/RunningLocation.h"
#include "platform/Screens.h"
#include "platform/SystemVersion.h"
#include "platform/UserDefaults.h"
#include "platform/UserDirectories.h"
#include "settings/ManagedSettings.h"
#include "settings/SettingsManager.h"
#include "updater/engine/LazyUpdater.h"
#include "updater/engine/Relaunch.h"
#include "updater/offer/Version.h"
#include "veldra/BuildConstants.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>

namespace veldra {

namespace {

// What the organisation's device management forces, read once at start.
const ManagedSettings& managedSettings() {
    static const ManagedSettings settings = readManagedSettings(
        platform::managedPreferences(QString::fromUtf8(build::kBundleId), managedSettingKeys(),
                                     QString::fromUtf8(build::kManagedPreferencesFile)));
    return settings;
}

LazyUpdater::Mode updaterMode(ManagedSettings::UpdateMode mode) {
    switch (mode) {
    case ManagedSettings::UpdateMode::manual:
        return LazyUpdater::Mode::manual;
    case ManagedSettings::UpdateMode::off:
        return LazyUpdater::Mode::off;
    case ManagedSettings::UpdateMode::automatic:
        break;
    }
    return LazyUpdater::Mode::automatic;
}

} // namespace

SettingsManager& SettingsManager::shared() {
    static SettingsManager* instance =
        new SettingsManager(platform::openUserDefaults(QString::fromUtf8(build::kBundleId)),
                            managedSettings().rememberUsername, managedSettings().betaUpdates);
    return *instance;
}

RdpLauncher& RdpLauncher::shared() {
    static RdpLauncher* instance = new RdpLauncher(Configuration{
        QString::fromUtf8(build::kRdpHost),
        [] { return platform::mainBundlePath(); },
        [] { return clientLogPath(platform::userLibraryDirectory()); },
        [] { return platform::firstScreen(); },
        [] { return LazyUpdater::shared().isDownloading(); },
        kOpenedAfter,
    });
    return *instance;
}

LazyUpdater& LazyUpdater::shared() {
    static LazyUpdater* instance = [] {
        auto* updater = new LazyUpdater(
            {platform::mainBundlePath() + QStringLiteral("/Contents/PlugIns/") +
                 QStringLiteral(VELDRA_UPDATE_ENGINE_FILE),
             QString::fromUtf8(build::kVersion)},
            [] {
                UpdateEngineWiring wiring;
                wiring.server = UpdateServer::production();
                wiring.trustedCaPem = QByteArray(build::kUpdateCaPem);
                wiring.publicKey = QString::fromLatin1(build::kUpdatePublicKey);
                wiring.temporaryDirectory = QDir::tempPath();
                wiring.currentVersion = [] { return currentAppVersion(); };
                wiring.isSessionRunning = [] { return RdpLauncher::shared().isSessionRunning(); };
                wiring.runningCopy = platform::runningCopy();
                wiring.systemVersion = platform::macOSVersion();
                wiring.rolloutGroup = managedSettings().rolloutGroup.value_or(
                    SettingsManager::shared().rolloutGroup());
                wiring.targetVersionPrefix = managedSettings().targetVersionPrefix;
                wiring.automaticChecks =
                    managedSettings().updateMode == ManagedSettings::UpdateMode::automatic;
                wiring.rolledBackVersion = SettingsManager::shared().rolledBackVersion();
                wiring.patchRefusedVersion = SettingsManager::shared().patchRefusedVersion();
                wiring.revokedKeys = SettingsManager::shared().revokedKeys();
                wiring.keysRevoked = [](const QStringList& ids) {
                    SettingsManager::shared().addRevokedKeys(ids);
                };
                // Told by the defaults store, since open drops the arguments
                // of an application that is still running.
                wiring.announceRollBack =
                    SettingsManager::shared().takeRollBackToAnnounce() ||
                    QCoreApplication::arguments().contains(QLatin1String(kRolledBackArgument));
                wiring.tools = systemTools(QString::fromUtf8(build::kSystemToolsDir));
                wiring.bundleIdentifier = QString::fromUtf8(build::kBundleId);
                wiring.runningBundlePath = platform::mainBundlePath();
                wiring.channel = [] {
                    return SettingsManager::shared().betaUpdates() ? QLatin1String(kBetaChannel)
                                                                   : QString();
                };
                wiring.installable = platform::runningLocation(wiring.runningBundlePath).kind ==
                                     platform::RunningLocation::Kind::installed;
                wiring.processId = QCoreApplication::applicationPid();
                wiring.codeSignRequirement = QString::fromUtf8(build::kCodeSignRequirement);
                wiring.elevateWithSudo = build::kElevateWithSudo;
                wiring.startWindow = std::chrono::seconds(build::kStartWindowSeconds);
                return wiring;
            },
            // A required version still to take: checked at once, not 3 s on.
            std::chrono::seconds(
                isNewerVersion(SettingsManager::shared().requiredVersion(), currentAppVersion())
                    ? 0
                    : 3),
            updaterMode(managedSettings().updateMode),
            {[] { return replacingVersion(platform::mainBundlePath(), currentAppVersion()); },
             [] {
                 return relaunchWhenGone(systemTools(QString::fromUtf8(build::kSystemToolsDir)),
                                         QString::fromUtf8(build::kBundleId) +
                                             QStringLiteral(".relaunch"),
                                         platform::mainBundlePath(),
                                         QCoreApplication::applicationPid(), QDir::tempPath());
             }});
        // A copy put in its place shows most often when the user comes back.
        QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, updater,
                         [updater](Qt::ApplicationState state) {
                             if (state == Qt::ApplicationActive)
                                 (void)updater->noticeReplacement();
                         });
        QObject::connect(updater, &UpdaterState::requiredChanged, updater, [updater] {
            SettingsManager::shared().setRequiredVersion(
                updater->isRequired() ? updater->latestVersion() : QString());
        });
        return updater;
    }();
    return *instance;
}

} // namespace veldra
