// The update engine module: the production updater, with everything that
// needs the network stack, TLS and libcrypto. The application loads it at
// the first check (see LazyUpdater).
#include "updater/engine/MacUpdater.h"
#include "updater/engine/UpdateEngine.h"
#include "updater/installing/Installer.h"
#include "updater/offer/Minisign.h"
#include "veldra/BuildConstants.h"

#include <QCoreApplication>

namespace veldra {

namespace {

// Set once, by the entry point, before the production updater is made.
const UpdateEngineWiring* productionWiring = nullptr;

class Engine final : public UpdateEngine {
public:
    explicit Engine(MacUpdater& updater) : m_updater(updater) {}
    void checkForUpdates(bool manual, std::function<void(bool)> completion) override {
        m_updater.checkForUpdates(manual, std::move(completion));
    }
    void startDownload() override { m_updater.startDownload(); }
    void moveToApplications() override { m_updater.moveToApplications(); }
    void setShouldPresentUpdate(bool present) override {
        m_updater.setShouldPresentUpdate(present);
    }

private:
    MacUpdater& m_updater;
};

} // namespace

MacUpdater& MacUpdater::shared() {
    static MacUpdater* instance = [] {
        const UpdateEngineWiring& wiring = *productionWiring;
        auto installer = std::make_shared<Installer>(Installer::Configuration{
            wiring.tools,
            wiring.bundleIdentifier,
            wiring.runningBundlePath,
            wiring.temporaryDirectory,
            wiring.processId,
            {},
            // Called on the updater's worker thread once the script runs.
            [] {
                QMetaObject::invokeMethod(&MacUpdater::shared(), &MacUpdater::finishAndTerminate,
                                          Qt::QueuedConnection);
            },
            wiring.codeSignRequirement,
            wiring.startWindow,
            wiring.elevateWithSudo,
        });

        Configuration config;
        config.server = wiring.server;
        config.trustedCaPem = wiring.trustedCaPem;
        // Checked at configure time; keys that still fail to parse trust no
        // manifest rather than every one.
        config.publicKeys =
            parseMinisignPublicKeys(wiring.publicKey).value_or(QList<MinisignKey>{MinisignKey{}});
        config.revokedKeys = wiring.revokedKeys;
        config.keysRevoked = wiring.keysRevoked;
        config.temporaryDirectory = wiring.temporaryDirectory;
        config.currentVersion = wiring.currentVersion;
        config.isSessionRunning = wiring.isSessionRunning;
        config.isReplaced = wiring.isReplaced;
        config.installUpdate = [installer](const QString& image, const QString& version,
                                           platform::Architecture architecture,
                                           const QString& digest) {
            return installer->installUpdate(image, version, architecture, digest);
        };
        config.installPatchedCopy = [installer](const QString& application, const QString& folder,
                                                const QString& version,
                                                platform::Architecture architecture,
                                                const QString& tree) {
            return installer->installPatchedCopy(application, folder, version, architecture, tree);
        };
        config.moveToApplications = [installer, version = wiring.currentVersion] {
            return installer->moveRunningCopy(QString::fromLatin1(kDefaultInstallTarget), version(),
                                              platform::kBuildArchitecture);
        };
        config.installable = wiring.installable;
        config.channel = wiring.channel;
        config.installedApplication = wiring.runningBundlePath;
        config.runningCopy = wiring.runningCopy;
        config.systemVersion = wiring.systemVersion;
        config.rolloutGroup = wiring.rolloutGroup;
        config.targetVersionPrefix = wiring.targetVersionPrefix;
        config.automaticChecks = wiring.automaticChecks;
        config.rolledBackVersion = wiring.rolledBackVersion;
        config.patchRefusedVersion = wiring.patchRefusedVersion;
        config.announceRollBack = wiring.announceRollBack;
        // Loaded for the first check: it is due now.
        config.timings.firstCheck = std::chrono::milliseconds(0);
        auto* updater = new MacUpdater(std::move(config), nullptr);
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, updater,
                         &MacUpdater::discardDownload);
        return updater;
    }();
    return *instance;
}

} // namespace veldra

extern "C" Q_DECL_EXPORT const char* veldra_update_engine_version() {
    return veldra::build::kVersion;
}

extern "C" Q_DECL_EXPORT veldra::UpdateEngine*
veldra_create_update_engine(const veldra::UpdateEngineWiring& wiring,
                            std::function<void(const veldra::UpdaterSnapshot&)> publish) {
    using namespace veldra;
    static const UpdateEngineWiring kept = wiring;
    productionWiring = &kept;
    MacUpdater& updater = MacUpdater::shared();
    const auto send = [&updater, publish] { publish(updater.snapshot()); };
    for (auto changed :
         {&UpdaterState::hasUpdateChanged, &UpdaterState::latestVersionChanged,
          &UpdaterState::releaseNotesChanged, &UpdaterState::downloadUrlChanged,
          &UpdaterState::isDownloadingChanged, &UpdaterState::statusMessageChanged,
          &UpdaterState::shouldPresentUpdateChanged, &UpdaterState::isCheckingChanged,
          &UpdaterState::downloadProgressChanged, &UpdaterState::requiredChanged})
        QObject::connect(&updater, changed, &updater, send);
    send();
    return new Engine(updater);
}
