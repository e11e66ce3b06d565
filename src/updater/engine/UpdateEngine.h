#pragma once

#include "platform/Architecture.h"
#include "updater/engine/UpdaterState.h"
#include "updater/installing/LaunchArguments.h"
#include "updater/installing/SystemTools.h"
#include "updater/offer/UpdateURL.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace veldra {

// The updater proper (the network, TLS, hashing and signatures) lives in a
// module the application loads at the first check, so that nothing of it is
// loaded or set up while the window opens. Only plain values and standard
// functions cross between the two.

// What the application hands the module.
struct UpdateEngineWiring {
    UpdateServer server;
    QByteArray trustedCaPem; // empty: the system trust store
    QString publicKey;       // the publisher's minisign key lines, ';' between; empty: none
    QString temporaryDirectory;
    std::function<QString()> currentVersion;
    std::function<bool()> isSessionRunning;
    // Another version was put at the bundle's path: nothing more is checked.
    std::function<bool()> isReplaced;
    platform::RunningCopy runningCopy = platform::kBuildCopy;
    // Installed, or run from its disk image or translocated (then it only
    // moves itself to Applications).
    bool installable = true;
    // The channel this copy takes besides the default entry ("beta"; empty:
    // none), asked at every check.
    std::function<QString()> channel;
    QString systemVersion;         // the running macOS; empty elsewhere
    int rolloutGroup = 0;          // 0 to 29, drawn once per installed copy
    QString targetVersionPrefix;   // an organisation's hold; empty: none
    bool automaticChecks = true;   // false: only when a user asks
    QString rolledBackVersion;     // put back after it did not start; never offered again
    QString patchRefusedVersion;   // its patch could not be installed: the image then
    bool announceRollBack = false; // this start follows that roll-back: say so
    QStringList revokedKeys;       // key ids accepted manifests revoked, in any run
    std::function<void(const QStringList& keyIds)> keysRevoked; // newly revoked: remember them
    SystemTools tools;
    QString bundleIdentifier;
    QString runningBundlePath;
    qint64 processId = 0;
    QString codeSignRequirement;
    bool elevateWithSudo = false;         // CI builds: sudo -n instead of the dialog
    std::chrono::seconds startWindow{60}; // for a new version to say it started
};

// The module's updater. Main thread.
class UpdateEngine {
public:
    virtual ~UpdateEngine() = default;
    virtual void checkForUpdates(bool manual, std::function<void(bool found)> completion) = 0;
    virtual void startDownload() = 0;
    virtual void setShouldPresentUpdate(bool present) = 0;
    virtual void moveToApplications() = 0;
};

// The module's one entry point: makes the production updater, which checks at
// once and then on its schedule, and calls `publish` on every change.
using CreateUpdateEngine = UpdateEngine* (*)(const UpdateEngineWiring& wiring,
                                             std::function<void(const UpdaterSnapshot&)> publish);
inline constexpr char kCreateUpdateEngineSymbol[] = "veldra_create_update_engine";
// The version the module was built as. Only an application of that same
// version loads it: what crosses between the two is compiled, not described,
// and a copy replaced while it runs finds another version's module.
using UpdateEngineVersion = const char* (*)();
inline constexpr char kUpdateEngineVersionSymbol[] = "veldra_update_engine_version";

} // namespace veldra
