#pragma once

#include "platform/Architecture.h"
#include "updater/fetching/UpdateSession.h"
#include "updater/offer/MacUpdateManifest.h"
#include "updater/offer/UpdaterError.h"

#include <QString>

#include <atomic>
#include <functional>
#include <optional>

namespace veldra {

// The install step for a copy of the installed application made new by a
// patch: the application, the folder holding it (which goes with it), the
// version and architecture it must be, and its tree digest.
using PatchedInstallStep = std::function<std::optional<UpdateFailure>(
    const QString& application, const QString& folder, const QString& expectedVersion,
    platform::Architecture, const QString& treeDigest)>;

// Whether an update takes its patch rather than its image: only onto exactly
// the bundle the patch was made from (anything changed in the installed copy,
// and the image it is), and never for a version whose patch an install
// already refused.
[[nodiscard]] bool isPatchUsable(const PatchOffer& offer, const QString& version,
                                 const QString& installedApplication,
                                 const QString& patchRefusedVersion);

// What became of a patch: handed over; declined by the user, which ends the
// update with `line`; or unusable, `line` saying why, and the image is the way.
struct PatchOutcome {
    enum class Kind { handedOver, declined, unusable };
    Kind kind = Kind::unusable;
    QString line = {};
};

// Size and digest of a finished patch transfer, the patch applied to a copy of
// `installedApplication` in "<tmp>/VeldraCloudDesktop-<UUID>.patched", its tree
// digest checked, then `install` on this thread. Unless handed over, nothing is
// left behind. Once `abandoned` is set, applying the patch stops.
PatchOutcome completePatch(TransferResult transfer, const PatchOffer& offer,
                           const QString& expectedVersion, platform::Architecture architecture,
                           const UpdateServer& server, const QString& installedApplication,
                           const QString& temporaryDirectory, const PatchedInstallStep& install,
                           const std::atomic<bool>* abandoned = nullptr);

} // namespace veldra
