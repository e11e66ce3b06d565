#include "updater/offer/Offer.h"

#include "updater/offer/Version.h"

namespace veldra {

CheckResult judgeManifest(const QByteArray& bytes, const QString& currentVersion,
                          const UpdateServer& server, platform::RunningCopy copy,
                          const QString& systemVersion) {
    const auto manifest = MacUpdateManifest::decode(bytes);
    if (!manifest)
        return {CheckResult::Kind::failed, QStringLiteral("Invalid update response"), {}, {}, {}};
    const ManifestVerdict verdict =
        evaluateManifest(*manifest, currentVersion, server, copy, systemVersion);
    switch (verdict.outcome) {
    case ManifestVerdict::Outcome::upToDate:
        return {CheckResult::Kind::upToDate, verdict.message(), {}, {}, {}};
    case ManifestVerdict::Outcome::needsNewerSystem:
        return {CheckResult::Kind::needsNewerSystem, verdict.message(), verdict.version, {}, {}};
    case ManifestVerdict::Outcome::updateAvailable:
        return {CheckResult::Kind::available,
                {},
                verdict.version,
                verdict.location,
                verdict.digest,
                verdict.architecture,
                verdict.rollout,
                verdict.patch,
                manifest->releaseNotes.value_or(QString())};
    default:
        return {CheckResult::Kind::failed, verdict.message(), {}, {}, {}};
    }
}

bool isOfferedNow(const std::optional<Rollout>& rollout, bool manual, int group,
                  const QDateTime& now) {
    return manual || !rollout || now >= rollout->availableFrom(group);
}

QString rolledBackMessage(const QString& version) {
    return QStringLiteral("Version %1 could not start and was rolled back.").arg(version);
}

QString heldBackMessage(const QString& version) {
    return QStringLiteral("Version %1 is held back by your organisation.").arg(version);
}

OfferDecision decideOffer(const CheckResult& result, const OfferRules& rules, bool manual,
                          const QDateTime& now) {
    switch (result.kind) {
    case CheckResult::Kind::available:
        if (!rules.rolledBackVersion.isEmpty() &&
            isSameVersion(result.version, rules.rolledBackVersion))
            return {false, rolledBackMessage(result.version), false, true};
        if (!result.version.startsWith(rules.targetVersionPrefix))
            return {false, heldBackMessage(result.version), false, true};
        // Not yet this copy's turn: an automatic check says nothing, and
        // whatever was known stays as it was.
        if (!isOfferedNow(result.rollout, manual, rules.rolloutGroup, now))
            return {};
        return {true};
    case CheckResult::Kind::upToDate:
        return {false, QStringLiteral("Up to date"), true, true};
    case CheckResult::Kind::needsNewerSystem:
        return {false, result.message, true, true};
    case CheckResult::Kind::failed:
        break;
    }
    return {false, result.message, false, false};
}

} // namespace veldra
