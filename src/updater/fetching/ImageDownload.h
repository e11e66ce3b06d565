#pragma once

#include "platform/Architecture.h"
#include "updater/fetching/UpdateSession.h"
#include "updater/offer/UpdaterError.h"

#include <QString>

#include <functional>
#include <optional>

namespace veldra {

// Runs on the worker thread with the verified image, the expected version,
// the architecture the new application must contain and the image's digest.
// Returns normally once the install has been handed over.
using InstallStep = std::function<std::optional<UpdateFailure>(
    const QString& imagePath, const QString& expectedVersion, platform::Architecture,
    const QString& digest)>;

// More than 64 KiB (a real image is always larger) and at most 500 MiB.
inline constexpr qint64 kMinImageBytes = 65'536;
[[nodiscard]] bool isAcceptableImageSize(qint64 size);

// The image's place once verified: "<tmp>/VeldraCloudDesktop-<UUID>.dmg".
[[nodiscard]] QString verifiedImagePath(const QString& temporaryDirectory);

// Size, digest and move of a finished image transfer, then `install` on this
// thread. Nothing once the install has been handed over; otherwise the status
// line, with the moved image removed.
std::optional<QString> completeDownload(TransferResult transfer, const QString& expectedDigest,
                                        const QString& expectedVersion,
                                        platform::Architecture architecture,
                                        const UpdateServer& server,
                                        const QString& temporaryDirectory,
                                        const InstallStep& install);

} // namespace veldra
