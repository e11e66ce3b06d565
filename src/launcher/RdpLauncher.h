#pragma once

#include "launcher/ClientLog.h"
#include "launcher/RdpLauncherError.h"
#include "platform/ChildProcess.h"
#include "platform/Screens.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace veldra {

// Starts the bundled FreeRDP client for a sign-in and reports, once, whether
// the session opened. Lives on the main thread; never stops a client.
class RdpLauncher : public QObject {
    Q_OBJECT
public:
    // How long a client must keep running before its session counts as opened.
    static constexpr std::chrono::milliseconds kOpenedAfter{3000};

    struct Configuration {
        QString serverHost;
        std::function<QString()> bundlePath;  // the application bundle ("….app")
        std::function<QString()> logFilePath; // asked anew for every launch
        std::function<std::optional<platform::ScreenInfo>()> screen;
        std::function<bool()> isUpdateDownloading;
        std::chrono::milliseconds openedAfter = kOpenedAfter;
    };
    using Completion = std::function<void(const LaunchOutcome&)>;

    explicit RdpLauncher(Configuration configuration, QObject* parent = nullptr);
    ~RdpLauncher() override;

    // The production instance, created on first use and never released.
    static RdpLauncher& shared();

    // Checks the request, starts the client and calls `completion` exactly once,
    // on the main thread. Callable from any thread.
    void connect(const QString& username, const QString& password, Completion completion);

    // The client executable inside the bundle; probed once, then cached.
    std::optional<QString> bundledFreeRdpPath();

    // The client of the last successful launch, until it has ended.
    std::shared_ptr<platform::ChildProcess> activeProcess() const { return m_activeProcess; }
    bool isSessionRunning() const { return m_activeProcess && m_activeProcess->isRunning(); }

Q_SIGNALS:
    void activeProcessChanged();

private:
    void launchFreeRdp(const QString& path, const QString& user,
                       const std::optional<QString>& domain, const QString& password,
                       Completion completion);
    void setActiveProcess(std::shared_ptr<platform::ChildProcess> process);

    Configuration m_config;
    std::optional<std::optional<QString>> m_bundledFreeRdpPath;
    std::shared_ptr<platform::ChildProcess> m_activeProcess;
};

// The first executable client among freerdp, sdl-freerdp and sdl3-freerdp in
// the bundle's Contents/MacOS.
std::optional<QString> resolveBundledFreeRdpPath(const QString& bundlePath);

} // namespace veldra
