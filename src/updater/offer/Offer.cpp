#include "updater/offer/Offer.h"

#include "updater/offer/Version.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace veldra {

namespace {

CheckResult judgeEntry(const MacUpdateManifest& manifest, const QString& currentVersion,
                       const UpdateServer& server, platform::RunningCopy copy,
                       const QString& systemVersion) {
    const ManifestVerdict verdict =
        evaluateManifest(manifest, currentVersion, server, copy, systemVersion);
    switch (verdict.outcome) {
    case ManifestVerdict::Outcome::upToDate:
        return {CheckResult::Kind::upToDate, verdict.message(), {}, {}, {}};
    case ManifestVerdict::Outcome::needsNewerSystem:
        return {CheckResult::Kind::needsNewerSystem, verdict.message(), verdict.version, {}, {}};
    case ManifestVerdict::Outcome::updateAvailable: {
        const auto floor = manifestCriticalBelow(manifest, verdict.version);
        return {CheckResult::Kind::available,
                {},
                verdict.version,
                verdict.location,
                verdict.digest,
                verdict.architecture,
                verdict.rollout,
                verdict.patch,
                manifest.releaseNotes.value_or(QString()),
                floor && isNewerVersion(*floor, currentVersion),
                manifest.critical_reason.value_or(manifest.criticalReason.value_or(QString())),
                floor.value_or(QString())};
    }
    default:
        return {CheckResult::Kind::failed, verdict.message(), {}, {}, {}};
    }
}

} // namespace

CheckResult judgeManifest(const QByteArray& bytes, const QString& currentVersion,
                          const UpdateServer& server, platform::RunningCopy copy,
                          const QString& systemVersion, const QString& channel) {
    const auto manifest = MacUpdateManifest::decode(bytes);
    if (!manifest)
        return {CheckResult::Kind::failed, QStringLiteral("Invalid update response"), {}, {}, {}};
    const CheckResult main = judgeEntry(*manifest, currentVersion, server, copy, systemVersion);
    const QJsonValue entry = channel.isEmpty() || !manifest->channels
                                 ? QJsonValue(QJsonValue::Undefined)
                                 : manifest->channels->toObject()[channel];
    if (entry.isUndefined())
        return main;
    const auto branch =
        MacUpdateManifest::decode(QJsonDocument(entry.toObject()).toJson(QJsonDocument::Compact));
    const CheckResult offered =
        branch && entry.isObject()
            ? judgeEntry(*branch, currentVersion, server, copy, systemVersion)
            : CheckResult{
                  CheckResult::Kind::failed, QStringLiteral("Invalid update response"), {}, {}, {}};
    if (offered.kind == CheckResult::Kind::failed)
        qWarning("The manifest's \"%s\" entry is ignored: %s.", qPrintable(channel),
                 qPrintable(offered.message));
    if (offered.kind != CheckResult::Kind::available ||
        (main.kind == CheckResult::Kind::available &&
         !isNewerVersion(offered.version, main.version)))
        return main;
    return offered;
}

bool isOfferedNow(const std::optional<Rollout>& rollout, bool manual, int group,
                  const QDateTime& now) {
    return manual || !rollout || now >= rollout->availableFrom(group);
}

QString rolledBackMessage(const QString& version) {
    return QStringLiteral("Version %1 could not start and was rolled back.").arg(version);
}

QString unsupportedMessage() {
    return QStringLiteral("This version of Veldra Cloud Desktop is no longer supported.");
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
        // The organisation's hold wins over a required update, which the
        // window then only mentions.
        if (!result.version.startsWith(rules.targetVersionPrefix))
            return result.required
                       ? OfferDecision{false, unsupportedMessage(), false, false}
                       : OfferDecision{false, heldBackMessage(result.version), false, true};
        // Not yet this copy's turn: an automatic check says nothing, and
        // whatever was known stays as it was. A required update is every
        // copy's turn at once.
        if (!result.required && !isOfferedNow(result.rollout, manual, rules.rolloutGroup, now))
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
