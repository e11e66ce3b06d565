#include "updater/engine/LazyUpdater.h"

#include <QCoreApplication>
#include <QLibrary>
#include <QPointer>

namespace veldra {

LazyUpdater::LazyUpdater(Module module, std::function<UpdateEngineWiring()> wiring,
                         std::chrono::milliseconds firstCheck, Mode mode, Bundle bundle,
                         QObject* parent)
    : UpdaterState(parent), m_module(std::move(module)), m_bundle(std::move(bundle)),
      m_wiring(std::move(wiring)), m_mode(mode) {
    m_firstCheck.setSingleShot(true);
    m_firstCheck.setTimerType(Qt::PreciseTimer);
    // The engine checks as soon as it is made.
    QObject::connect(&m_firstCheck, &QTimer::timeout, this, [this] { (void)engine(); });
    if (m_mode == Mode::automatic)
        m_firstCheck.start(firstCheck);
}

LazyUpdater::~LazyUpdater() = default;

UpdateEngine* LazyUpdater::engine() {
    // A replaced copy loads nothing: the module at its path is the other version's.
    if (noticeReplacement())
        return nullptr;
    if (m_engine || m_loadFailed)
        return m_engine.get();
    m_firstCheck.stop();
    // Never unloaded: the engine lives as long as the application.
    QLibrary module(m_module.path);
    const auto create =
        reinterpret_cast<CreateUpdateEngine>(module.resolve(kCreateUpdateEngineSymbol));
    if (!create) {
        qWarning("The update engine could not be loaded: %s", qPrintable(module.errorString()));
        m_loadFailed = true;
        // As any failed check, automatic or not, says.
        setStatusMessage(QStringLiteral("Update check failed"));
        return nullptr;
    }
    const auto builtAs =
        reinterpret_cast<UpdateEngineVersion>(module.resolve(kUpdateEngineVersionSymbol));
    if (const QString version = builtAs ? QString::fromUtf8(builtAs()) : QString();
        version != m_module.version) {
        qWarning("Not loading the update engine %s: it is version %s, this application %s.",
                 qPrintable(m_module.path), version.isEmpty() ? "unknown" : qPrintable(version),
                 qPrintable(m_module.version));
        m_loadFailed = true;
        // The bundle still says this version: another's files arrive one by
        // one (a package writes them in place). A module that names no
        // version predates this check.
        if (version.isEmpty())
            setStatusMessage(QStringLiteral("Update check failed"));
        else
            replacedWith(version);
        return nullptr;
    }
    QPointer<LazyUpdater> self(this);
    UpdateEngineWiring wiring = m_wiring();
    wiring.isReplaced = [self] { return self && self->noticeReplacement(); };
    m_engine.reset(create(wiring, [self](const UpdaterSnapshot& snapshot) {
        if (self)
            self->apply(snapshot);
    }));
    return m_engine.get();
}

bool LazyUpdater::noticeReplacement() {
    if (const QString other = m_bundle.replacedBy ? m_bundle.replacedBy() : QString();
        !other.isEmpty())
        replacedWith(other);
    return !replacedBy().isEmpty();
}

void LazyUpdater::replacedWith(const QString& version) {
    setReplacedBy(version);
    setShouldPresentUpdate(false);
    setStatusMessage(QStringLiteral("Version %1 was installed. Relaunch to use it.").arg(version));
}

void LazyUpdater::relaunch() {
    if (replacedBy().isEmpty() || !m_bundle.relaunch)
        return;
    if (const auto error = m_bundle.relaunch()) {
        qWarning("Relaunching failed: %s", qPrintable(error->message));
        setStatusMessage(QStringLiteral("Relaunch failed. Quit Veldra Cloud Desktop and open it "
                                        "again."));
        return;
    }
    // As quitting does: a session that is open goes on.
    QCoreApplication::quit();
}

void LazyUpdater::apply(const UpdaterSnapshot& s) {
    setHasUpdate(s.hasUpdate);
    setLatestVersion(s.latestVersion);
    setReleaseNotes(s.releaseNotes);
    setDownloadUrl(s.downloadUrl);
    setIsDownloading(s.isDownloading);
    // A replaced copy's status line says so until it quits, and it offers nothing.
    if (replacedBy().isEmpty()) {
        setStatusMessage(s.statusMessage);
        UpdaterState::setShouldPresentUpdate(s.shouldPresentUpdate);
    }
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
    if (m_engine && !noticeReplacement())
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
    if (present && !replacedBy().isEmpty())
        return;
    UpdaterState::setShouldPresentUpdate(present);
    if (m_engine)
        m_engine->setShouldPresentUpdate(present);
}

} // namespace veldra
