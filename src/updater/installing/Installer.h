#pragma once

#include "platform/Architecture.h"
#include "platform/Processes.h"
#include "updater/installing/InstallScript.h"
#include "updater/installing/SystemTools.h"
#include "updater/offer/UpdaterError.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>
#include <variant>

namespace veldra {

inline constexpr auto kDefaultInstallTarget = "/Applications/Veldra Cloud Desktop.app";

// The first text "mount-point" among the "system-entities" of hdiutil's
// property list; or updater error 6, or the parser's error.
std::variant<QString, UpdateFailure> mountPointFromPlist(const QByteArray& plist);

// Mounts, validates and hands a verified update image to the install script.
// Runs on the updater's worker thread.
class Installer {
public:
    struct Configuration {
        SystemTools tools;
        QString bundleIdentifier;   // what the update's bundle must carry
        QString runningBundlePath;  // the application being replaced
        QString temporaryDirectory; // where the script is written
        qint64 processId = 0;       // the process the script waits for
        // Whether the user may replace the target without an administrator
        // (none: mayReplaceDirectly).
        std::function<bool(const QString& target)> mayReplaceDirectly;
        std::function<void()> finishAndTerminate; // posts to the main thread
        // A code signing requirement the new application must also satisfy
        // (codesign's requirement language); empty: any valid signature.
        QString codeSignRequirement;
        // How long the new version has to say it started before the
        // previous one is put back.
        std::chrono::seconds startWindow{60};
        // Root by `sudo -n` rather than the administrator dialog: only for CI
        // runners, where nobody can answer a dialog.
        bool elevateWithSudo = false;
        // The processes of every user running from a bundle, this one left out.
        std::function<QList<qint64>(const QString& bundle)> processesRunningFrom =
            platform::processesRunningFrom;
    };

    explicit Installer(Configuration configuration);

    // Nothing once the script has been started; otherwise the failure, with the
    // image detached and the image and script files removed. The application
    // must contain `architecture` (the image's, as the manifest chose it).
    // `digest` is the manifest's SHA-256 of the image, which a root install
    // checks its own copy of the image against.
    std::optional<UpdateFailure> installUpdate(const QString& diskImage,
                                               const QString& expectedVersion,
                                               platform::Architecture architecture,
                                               const QString& digest);

    // The same for a patched copy of the new version, `application` inside
    // `folder`, which goes with it. As root the script checks its own copy
    // against `treeDigest`, the manifest's, since the user's folder is not root's.
    std::optional<UpdateFailure> installPatchedCopy(const QString& application,
                                                    const QString& folder,
                                                    const QString& expectedVersion,
                                                    platform::Architecture architecture,
                                                    const QString& treeDigest);

    // Moves this copy itself (run from its disk image, or translocated) to
    // `target`, as an install of `version` would, through the same script:
    // checked the same way, as root where the user cannot write there; the
    // copy is left where it is.
    std::optional<UpdateFailure> moveRunningCopy(const QString& target, const QString& version,
                                                 platform::Architecture architecture);

    std::variant<QString, UpdateFailure> attachDiskImage(const QString& diskImage);
    std::optional<platform::SystemError> detachDiskImage(const QString& mountPoint);
    std::optional<UpdateFailure> verifyCodeSignature(const QString& application);
    std::optional<UpdateFailure> verifyArchitecture(const QString& application,
                                                    platform::Architecture architecture);
    void cleanUpFailedInstall(const QString& mountPoint, const QString& diskImage);
    QString installTargetURL() const;
    std::variant<WrittenScript, UpdateFailure> writeInstallScript();

private:
    // What the script is handed: the application, the image's mount point
    // (empty for a patched copy), the image or the patched copy's folder, and
    // the image's digest or the patched copy's tree digest, and the version.
    struct HandedOver {
        QString application, mountPoint, files, digest;
        QString version; // as its Info.plist says it, once checked
    };
    // The application's version as its Info.plist says it, once every check
    // passed.
    std::variant<QString, UpdateFailure> checkApplication(const QString& application,
                                                          const QString& expectedVersion,
                                                          platform::Architecture architecture);
    std::optional<UpdateFailure>
    handOver(const HandedOver& update, platform::Architecture architecture, const QString& target);

    Configuration m_config;
};

// Whether the user who runs this may replace `target` without an
// administrator: its folder writable, and the target (if any) theirs. A copy
// root installed is root's, and its folder would keep what root left.
[[nodiscard]] bool mayReplaceDirectly(const QString& target);

// Removes the ".Veldra Cloud Desktop.new.PID" and ".previous.PID" folders
// beside `target` whose install process is gone, when `target` is in place.
void removeInstallLeftovers(const QString& target);

} // namespace veldra
