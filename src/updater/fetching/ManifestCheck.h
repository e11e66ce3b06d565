#pragma once

#include "updater/fetching/UpdateSession.h"
#include "updater/offer/ManifestTrust.h"
#include "updater/offer/Offer.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>
#include <variant>

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

// Why a signed manifest is not read: the status line ("Update check failed"
// when the signature could not be fetched at all, "Invalid update signature"
// otherwise), and what failed (see verifySignedManifest; empty when the
// signature never arrived).
struct SignatureRefusal {
    QString status;
    QString why;
};

// Judges a fetched manifest signature (.minisig) for the manifest bytes, as
// verifySignedManifest does.
[[nodiscard]] std::variant<TrustedManifest, SignatureRefusal>
judgeManifestSignature(const TransferResult& signature, const QByteArray& manifest,
                       const ManifestKeys& keys, const QDateTime& now);

// "VeldraCloudDesktop-MacUpdater/<version>"
[[nodiscard]] QByteArray userAgent(const QString& version);

// "?t=<seconds since 1970 in shortest round-trip form, at least one decimal>"
[[nodiscard]] QString cacheBustingQuery(double secondsSinceEpoch);

} // namespace veldra
