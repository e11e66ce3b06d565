#pragma once

#include "updater/engine/UpdateEngine.h"
#include "updater/engine/UpdaterState.h"

#include <QTimer>

#include <chrono>
#include <memory>

namespace veldra {

// The application's updater as the interface sees it, from the first frame.
// The updater proper is a module (UpdateEngine.h) loaded at the first check,
// `firstCheck` after start or at the first request, whichever comes first;
// from then on this forwards requests to it and publishes its state.
class LazyUpdater : public UpdaterState {
    Q_OBJECT
public:
    // How an organisation lets this copy update: on its schedule; only when a
    // user asks (no first check); or never, the module not even loaded, so
    // that no request leaves the application.
    enum class Mode { automatic, manual, off };

    LazyUpdater(QString modulePath, std::function<UpdateEngineWiring()> wiring,
                std::chrono::milliseconds firstCheck, Mode mode = Mode::automatic,
                QObject* parent = nullptr);
    ~LazyUpdater() override;

    // The production instance; creating it arms the first check.
    static LazyUpdater& shared();

    void checkForUpdates(bool manual, CheckCompletion completion = {}) override;
    void startDownload() override;
    void moveToApplications() override;
    Mode mode() const { return m_mode; }
    void setShouldPresentUpdate(bool present) override;

    bool isLoaded() const { return m_engine != nullptr; }

private:
    UpdateEngine* engine(); // loads the module on first use; null when it cannot
    void apply(const UpdaterSnapshot& snapshot);

    QString m_modulePath;
    std::function<UpdateEngineWiring()> m_wiring;
    QTimer m_firstCheck;
    Mode m_mode = Mode::automatic;
    bool m_loadFailed = false;
    std::unique_ptr<UpdateEngine> m_engine;
};

} // namespace veldra
