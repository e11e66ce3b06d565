#include "updater/offer/MacUpdateManifest.h"

#include "updater/offer/Version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace veldra {

std::optional<MacUpdateManifest> MacUpdateManifest::decode(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    MacUpdateManifest manifest;
    bool ok = true;
    const auto field = [&](const char* key, std::optional<QString>& into) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull())
            return;
        if (value.isString())
            into = value.toString();
        else
            ok = false;
    };
    field("version", manifest.version);
    field("macVersion", manifest.macVersion);
    field("mac_version", manifest.mac_version);
    field("macArm64Url", manifest.macArm64Url);
    field("mac_arm64_url", manifest.mac_arm64_url);
    field("macArm64Sha256", manifest.macArm64Sha256);
    field("mac_arm64_sha256", manifest.mac_arm64_sha256);
    field("macX64Url", manifest.macX64Url);
    field("mac_x64_url", manifest.mac_x64_url);
    field("macX64Sha256", manifest.macX64Sha256);
    field("mac_x64_sha256", manifest.mac_x64_sha256);
    field("macDmgUrl", manifest.macDmgUrl);
    field("mac_dmg_url", manifest.mac_dmg_url);
    field("macMinimumSystemVersion", manifest.macMinimumSystemVersion);
    field("mac_minimum_system_version", manifest.mac_minimum_system_version);
    field("releaseNotes", manifest.releaseNotes);
    field("critical_below", manifest.critical_below);
    field("criticalBelow", manifest.criticalBelow);
    field("critical_reason", manifest.critical_reason);
    field("criticalReason", manifest.criticalReason);
    const auto anything = [&](const char* key, std::optional<QJsonValue>& into) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isNull())
            into = value;
    };
    anything("rollout_start", manifest.rollout_start);
    anything("rolloutStart", manifest.rolloutStart);
    anything("rollout_days", manifest.rollout_days);
    anything("rolloutDays", manifest.rolloutDays);
    anything("mac_x64_patches", manifest.mac_x64_patches);
    anything("macX64Patches", manifest.macX64Patches);
    anything("mac_arm64_patches", manifest.mac_arm64_patches);
    anything("macArm64Patches", manifest.macArm64Patches);
    anything("channels", manifest.channels);
    if (!ok)
        return std::nullopt;
    return manifest;
}

namespace {

// The first of the fields that is present, in the order given.
template <typename First, typename... Rest>
First firstPresent(const First& first, const Rest&... rest) {
    First result = first;
    ((result = result ? result : rest), ...);
    return result;
}

} // namespace

ManifestEntries selectManifestEntries(const MacUpdateManifest& m, platform::RunningCopy copy) {
    using platform::Architecture;
    const QString version =
        firstPresent(m.mac_version, m.macVersion, m.version).value_or(QString());
    const auto minimum = firstPresent(m.mac_minimum_system_version, m.macMinimumSystemVersion);
    const auto arm64Location = firstPresent(m.mac_arm64_url, m.macArm64Url);
    const bool arm64 = copy == platform::RunningCopy::arm64 ||
                       (copy == platform::RunningCopy::translated && arm64Location);
    if (arm64)
        return {version, arm64Location,
                firstPresent(m.mac_arm64_sha256, m.macArm64Sha256).value_or(QString()),
                Architecture::arm64, minimum};
    return {
        version,
        firstPresent(m.mac_x64_url, m.macX64Url, m.mac_dmg_url, m.macDmgUrl),
        firstPresent(m.mac_x64_sha256, m.macX64Sha256).value_or(QString()),
        Architecture::x86_64,
        minimum,
    };
}

QDateTime Rollout::availableFrom(int group) const {
    const qint64 dayMs = 86'400'000;
    const int g = std::clamp(group, 0, kGroups - 1);
    return start.addMSecs(dayMs * g * days / kGroups);
}

std::optional<Rollout> manifestRollout(const MacUpdateManifest& m) {
    const auto start = firstPresent(m.rollout_start, m.rolloutStart);
    const auto days = firstPresent(m.rollout_days, m.rolloutDays);
    if (!start || !days || !start->isString() || !days->isDouble())
        return std::nullopt;
    // RFC 3339 in UTC: a date, a time and "Z" (or an offset of zero).
    const QString text = start->toString();
    const QDateTime when = QDateTime::fromString(text, Qt::ISODateWithMs);
    const bool utc = text.endsWith(QLatin1Char('Z')) || text.endsWith(QLatin1String("+00:00"));
    if (!when.isValid() || !utc || !text.contains(QLatin1Char('T')))
        return std::nullopt;
    const double count = days->toDouble();
    if (count != std::floor(count) || count < 1 || count > 30)
        return std::nullopt;
    return Rollout{when.toUTC(), static_cast<int>(count)};
}

std::optional<PatchOffer> manifestPatch(const MacUpdateManifest& m,
                                        platform::Architecture architecture,
                                        const QString& currentVersion, const UpdateServer& server) {
    const auto patches = architecture == platform::Architecture::arm64
                             ? firstPresent(m.mac_arm64_patches, m.macArm64Patches)
                             : firstPresent(m.mac_x64_patches, m.macX64Patches);
    if (!patches || !patches->isArray())
        return std::nullopt;
    for (const QJsonValue& value : patches->toArray()) {
        const QJsonObject item = value.toObject();
        if (!isSameVersion(item.value(QStringLiteral("from")).toString(), currentVersion))
            continue;
        const auto text = [&](const char* key) {
            return item.value(QLatin1String(key)).toString().toLower();
        };
        PatchOffer offer{item.value(QStringLiteral("url")).toString(),
                         item.value(QStringLiteral("size")).toInteger(), text("sha256"),
                         text("source_tree"), text("result_tree")};
        const bool valid = makeUpdateURL(offer.location, server) && offer.size > 0 &&
                           offer.size <= kMaxImageBytes && isValidDigest(offer.digest) &&
                           isValidDigest(offer.sourceTree) && isValidDigest(offer.resultTree);
        if (valid)
            return offer;
    }
    return std::nullopt;
}

std::optional<QString> manifestCriticalBelow(const MacUpdateManifest& m, const QString& version) {
    const auto floor = firstPresent(m.critical_below, m.criticalBelow);
    if (!floor)
        return std::nullopt;
    if (!parseVersion(*floor) || isNewerVersion(*floor, version)) {
        qWarning("The manifest's critical_below \"%s\" is ignored: not a version at most %s.",
                 qPrintable(*floor), qPrintable(version));
        return std::nullopt;
    }
    return *floor;
}

bool isAcceptableManifestSize(qint64 size) {
    return size >= 1 && size <= kMaxManifestBytes;
}

bool isValidDigest(const QString& digest) {
    if (digest.size() != 64)
        return false;
    for (QChar c : digest) {
        // ASCII only: full-width digits would pass a Unicode test and then
        // never match a computed digest.
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

ManifestVerdict evaluateManifest(const MacUpdateManifest& manifest, const QString& currentVersion,
                                 const UpdateServer& server, platform::RunningCopy copy,
                                 const QString& systemVersion) {
    using Outcome = ManifestVerdict::Outcome;
    const ManifestEntries entries = selectManifestEntries(manifest, copy);
    ManifestVerdict verdict;
    if (!parseVersion(entries.version))
        return verdict;
    if (!isNewerVersion(entries.version, currentVersion)) {
        verdict.outcome = Outcome::upToDate;
        return verdict;
    }
    if (!entries.location || !makeUpdateURL(*entries.location, server)) {
        verdict.outcome = Outcome::invalidLocation;
        return verdict;
    }
    const QString digest = entries.digest.toLower();
    if (!isValidDigest(digest)) {
        verdict.outcome = Outcome::invalidSignature;
        return verdict;
    }
    if (entries.minimumSystemVersion) {
        if (!parseVersion(*entries.minimumSystemVersion))
            return verdict;
        if (!systemVersion.isEmpty() &&
            isNewerVersion(*entries.minimumSystemVersion, systemVersion)) {
            verdict.outcome = Outcome::needsNewerSystem;
            verdict.version = entries.version;
            verdict.minimumSystemVersion = *entries.minimumSystemVersion;
            return verdict;
        }
    }
    verdict.outcome = Outcome::updateAvailable;
    verdict.version = entries.version;
    verdict.location = *entries.location;
    verdict.digest = digest;
    verdict.architecture = entries.architecture;
    verdict.rollout = manifestRollout(manifest);
    verdict.patch = manifestPatch(manifest, entries.architecture, currentVersion, server);
    return verdict;
}

QString ManifestVerdict::message() const {
    switch (outcome) {
    case Outcome::invalidResponse:
        return QStringLiteral("Invalid update response");
    case Outcome::upToDate:
        return QStringLiteral("Up to date");
    case Outcome::invalidLocation:
        return QStringLiteral("Invalid update location");
    case Outcome::invalidSignature:
        return QStringLiteral("Invalid update signature");
    case Outcome::needsNewerSystem:
        return QStringLiteral("Version %1 needs macOS %2 or later.")
            .arg(version, minimumSystemVersion);
    case Outcome::updateAvailable:
        return QStringLiteral("Update available");
    }
    return QString();
}

} // namespace veldra
