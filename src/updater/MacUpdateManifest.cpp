#include "updater/MacUpdateManifest.h"

#include "updater/Version.h"

#include <QJsonDocument>
#include <QJsonObject>

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
    if (!ok)
        return std::nullopt;
    return manifest;
}

namespace {

template <typename... Fields> std::optional<QString> firstPresent(const Fields&... fields) {
    std::optional<QString> result;
    ((result = result ? result : fields), ...);
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
