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
    LazyUpdater(QString modulePath, std::function<UpdateEngineWiring()> wiring,
                std::chrono::milliseconds firstCheck, QObject* parent = nullptr);
    ~LazyUpdater() override;

    // The production instance; creating it arms the first check.
    static LazyUpdater& shared();

    void checkForUpdates(bool manual, CheckCompletion completion = {}) override;
    void startDownload() override;
    void setShouldPresentUpdate(bool present) override;

    bool isLoaded() const { return m_engine != nullptr; }

private:
    UpdateEngine* engine(); // loads the module on first use; null when it cannot
    void apply(const UpdaterSnapshot& snapshot);

    QString m_modulePath;
    std::function<UpdateEngineWiring()> m_wiring;
    QTimer m_firstCheck;
    bool m_loadFailed = false;
    std::unique_ptr<UpdateEngine> m_engine;
};

} // namespace veldra
