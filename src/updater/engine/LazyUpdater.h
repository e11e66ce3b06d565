#pragma once

#include "platform/ChildProcess.h"
#include "updater/engine/UpdateEngine.h"
#include "updater/engine/UpdaterState.h"

#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

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

    // The engine module, and the version it must have been built as: this
    // application's.
    struct Module {
        QString path;
        QString version;
    };
    // The bundle this copy runs from, which another copy may replace while it
    // runs (an organisation's package, another account's update).
    struct Bundle {
        // The version now at its path when another; empty: none, or nothing
        // readable yet (a copy half moved in).
        std::function<QString()> replacedBy;
        // Starts the copy at its path once this process has gone.
        std::function<std::optional<platform::SystemError>()> relaunch;
    };

    LazyUpdater(Module module, std::function<UpdateEngineWiring()> wiring,
                std::chrono::milliseconds firstCheck, Mode mode = Mode::automatic,
                Bundle bundle = {}, QObject* parent = nullptr);
    ~LazyUpdater() override;

    // The production instance; creating it arms the first check.
    static LazyUpdater& shared();

    void checkForUpdates(bool manual, CheckCompletion completion = {}) override;
    void startDownload() override;
    void moveToApplications() override;
    Mode mode() const { return m_mode; }
    void setShouldPresentUpdate(bool present) override;
    // Quits once the copy at the path is due to start; says so when it cannot be.
    void relaunch() override;

    // Reads the bundle; once another version is at its path, says so and
    // offers to relaunch, and from then on checks and downloads nothing.
    // True when replaced.
    bool noticeReplacement();

    bool isLoaded() const { return m_engine != nullptr; }

private:
    UpdateEngine* engine(); // loads the module on first use; null when it cannot
    void apply(const UpdaterSnapshot& snapshot);
    void replacedWith(const QString& version);

    Module m_module;
    Bundle m_bundle;
    std::function<UpdateEngineWiring()> m_wiring;
    QTimer m_firstCheck;
    Mode m_mode = Mode::automatic;
    bool m_loadFailed = false;
    std::unique_ptr<UpdateEngine> m_engine;
};

} // namespace veldra
