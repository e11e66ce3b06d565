#include "updater/engine/LazyUpdater.h"

#include <QLibrary>
#include <QPointer>

namespace veldra {

LazyUpdater::LazyUpdater(QString modulePath, std::function<UpdateEngineWiring()> wiring,
                         std::chrono::milliseconds firstCheck, Mode mode, QObject* parent)
    : UpdaterState(parent), m_modulePath(std::move(modulePath)), m_wiring(std::move(wiring)),
      m_mode(mode) {
    m_firstCheck.setSingleShot(true);
    m_firstCheck.setTimerType(Qt::PreciseTimer);
    // The engine checks as soon as it is made.
    QObject::connect(&m_firstCheck, &QTimer::timeout, this, [this] { (void)engine(); });
    if (m_mode == Mode::automatic)
        m_firstCheck.start(firstCheck);
}

LazyUpdater::~LazyUpdater() = default;

UpdateEngine* LazyUpdater::engine() {
    if (m_engine || m_loadFailed)
        return m_engine.get();
    m_firstCheck.stop();
    // Never unloaded: the engine lives as long as the application.
    QLibrary module(m_modulePath);
    const auto create =
        reinterpret_cast<CreateUpdateEngine>(module.resolve(kCreateUpdateEngineSymbol));
    if (!create) {
        qWarning("The update engine could not be loaded: %s", qPrintable(module.errorString()));
        m_loadFailed = true;
        // As any failed check, automatic or not, says.
        setStatusMessage(QStringLiteral("Update check failed"));
        return nullptr;
    }
    QPointer<LazyUpdater> self(this);
    m_engine.reset(create(m_wiring(), [self](const UpdaterSnapshot& snapshot) {
        if (self)
            self->apply(snapshot);
    }));
    return m_engine.get();
}

void LazyUpdater::apply(const UpdaterSnapshot& s) {
    setHasUpdate(s.hasUpdate);
    setLatestVersion(s.latestVersion);
    setReleaseNotes(s.releaseNotes);
    setDownloadUrl(s.downloadUrl);
    setIsDownloading(s.isDownloading);
    setStatusMessage(s.statusMessage);
    UpdaterState::setShouldPresentUpdate(s.shouldPresentUpdate);
    setIsChecking(s.isChecking);
    setDownloadProgress(s.bytesReceived, s.bytesExpected);
    setRequired(s.isRequired, s.requiredReason);
}

void LazyUpdater::checkForUpdates(bool manual, CheckCompletion completion) {
    if (m_mode == Mode::off) {
        setStatusMessage(QStringLiteral("Updates are managed by your organisation."));
        if (completion)
            completion(false);
        return;
    }
    if (UpdateEngine* updater = engine()) {
        updater->checkForUpdates(manual, std::move(completion));
        return;
    }
    if (completion)
        completion(false);
}

void LazyUpdater::startDownload() {
    if (m_engine)
        m_engine->startDownload();
}

void LazyUpdater::moveToApplications() {
    // Nothing leaves the application while the organisation turned updates off.
    if (m_mode == Mode::off)
        return;
    if (UpdateEngine* updater = engine())
        updater->moveToApplications();
}

void LazyUpdater::setShouldPresentUpdate(bool present) {
    UpdaterState::setShouldPresentUpdate(present);
    if (m_engine)
        m_engine->setShouldPresentUpdate(present);
}

} // namespace veldra
