#pragma once

#include "updater/fetching/UpdateSession.h"
#include "updater/offer/Minisign.h"
#include "updater/offer/Offer.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace veldra {

// Judges a finished manifest transfer: transport, status, final address,
// size, JSON and the manifest rules, in that order.
// `acceptBody`, when given, sees the manifest's exact bytes before they are
// decoded; refusing them is "Invalid update signature".
// `copy`, `systemVersion` and `channel` as for judgeManifest.
[[nodiscard]] CheckResult handleManifestResponse(
    const TransferResult& transfer, const QString& currentVersion, const UpdateServer& server,
    const std::function<bool(const QByteArray&)>& acceptBody = {},
    platform::RunningCopy copy = platform::kBuildCopy, const QString& systemVersion = QString(),
    const QString& channel = QString());

// Judges a fetched manifest signature (.minisig) for the manifest bytes: none
// when the manifest may be read, else the status line ("Update check failed"
// when the signature could not be fetched at all, "Invalid update signature"
// otherwise). A signed manifest must carry an "expires" later than `now`.
[[nodiscard]] std::optional<QString> judgeManifestSignature(const TransferResult& signature,
                                                            const QByteArray& manifest,
                                                            const MinisignKey& key,
                                                            const QDateTime& now);

// "VeldraCloudDesktop-MacUpdater/<version>"
[[nodiscard]] QByteArray userAgent(const QString& version);

// "?t=<seconds since 1970 in shortest round-trip form, at least one decimal>"
[[nodiscard]] QString cacheBustingQuery(double secondsSinceEpoch);

} // namespace veldra
