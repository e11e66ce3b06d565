#pragma once

#include "platform/Architecture.h"
#include "updater/offer/UpdateURL.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace veldra {

// The update server's version.json. Every field is optional text; the JSON key
// is the field's name exactly, so snake and camel case are distinct keys.
struct MacUpdateManifest {
    std::optional<QString> version;
    std::optional<QString> macVersion;
    std::optional<QString> mac_version;
    std::optional<QString> macArm64Url;
    std::optional<QString> mac_arm64_url;
    std::optional<QString> macArm64Sha256;
    std::optional<QString> mac_arm64_sha256;
    std::optional<QString> macX64Url;
    std::optional<QString> mac_x64_url;
    std::optional<QString> macX64Sha256;
    std::optional<QString> mac_x64_sha256;
    std::optional<QString> macDmgUrl;
    std::optional<QString> mac_dmg_url;
    std::optional<QString> macMinimumSystemVersion;
    std::optional<QString> mac_minimum_system_version;
    std::optional<QString> releaseNotes;
    // A required update: a copy older than this version must take it; and
    // why, in one line.
    std::optional<QString> critical_below;
    std::optional<QString> criticalBelow;
    std::optional<QString> critical_reason;
    std::optional<QString> criticalReason;
    // The channels' entries (a channel name to an object of the same form as
    // the top level); a bad value only means no channel (see judgeManifest).
    std::optional<QJsonValue> channels;
    // The staged rollout, as written: whatever they hold, a bad value only
    // means no rollout (see manifestRollout).
    std::optional<QJsonValue> rollout_start;
    std::optional<QJsonValue> rolloutStart;
    std::optional<QJsonValue> rollout_days;
    std::optional<QJsonValue> rolloutDays;
    // Patches from earlier versions; whatever they hold, a bad value only
    // means the image (see manifestPatch).
    std::optional<QJsonValue> mac_x64_patches;
    std::optional<QJsonValue> macX64Patches;
    std::optional<QJsonValue> mac_arm64_patches;
    std::optional<QJsonValue> macArm64Patches;

    // A JSON object whose known keys hold strings or null (the rollout keys
    // anything); unknown keys are ignored whatever they hold. Anything else
    // fails the whole decode.
    static std::optional<MacUpdateManifest> decode(const QByteArray& json);
};

inline constexpr qint64 kMaxManifestBytes = 262'144;
// No image, nor patch, is larger.
inline constexpr qint64 kMaxImageBytes = 524'288'000;

// A staged rollout: an installed copy in group g (0 to 29) is offered the
// version by an automatic check from start + g × days / 30 days on.
struct Rollout {
    static constexpr int kGroups = 30;
    QDateTime start; // UTC
    int days = 1;    // 1 to 30
    [[nodiscard]] QDateTime availableFrom(int group) const;
};
// The manifest's rollout: "rollout_start" (an RFC 3339 UTC time) and
// "rollout_days" (a whole number from 1 to 30), snake case first. None when
// either is absent or does not follow its rule: the version then goes to
// every copy at once.
[[nodiscard]] std::optional<Rollout> manifestRollout(const MacUpdateManifest& manifest);

// A patch that makes the new version out of an installed earlier one.
struct PatchOffer {
    QString location;   // the text
    qint64 size = 0;    // exactly, in bytes
    QString digest;     // SHA-256 of the patch, lower case
    QString sourceTree; // tree digests of the installed bundle it needs
    QString resultTree; // and of the bundle it makes, lower case
};
// The patch from `currentVersion` for `architecture`'s entries: the array
// "mac_x64_patches" or "mac_arm64_patches" (snake case first) of objects
// {"from", "url", "size", "sha256", "source_tree", "result_tree"}. None when
// there is none for this version, or when it breaks a rule (the URL rule, a
// size from 1 byte to the image's limit, digests of 64 hex digits).
[[nodiscard]] std::optional<PatchOffer> manifestPatch(const MacUpdateManifest& manifest,
                                                      platform::Architecture architecture,
                                                      const QString& currentVersion,
                                                      const UpdateServer& server);

// The three values an update check needs, by key precedence (snake case over
// camel case); a present empty text still wins. An x86-64 build takes the
// x86-64 entries, then the generic image (which is paired with the x86-64
// digest); an arm64 build takes the arm64 entries only, since the generic image
// is an Intel one. A translated x86-64 copy takes the arm64 entries whenever
// an arm64 location is present, and otherwise the x86-64 ones.
struct ManifestEntries {
    QString version;
    std::optional<QString> location;
    QString digest;
    platform::Architecture architecture = platform::Architecture::x86_64; // of the image
    std::optional<QString> minimumSystemVersion; // the macOS the new version needs
};
ManifestEntries selectManifestEntries(const MacUpdateManifest& manifest,
                                      platform::RunningCopy copy = platform::kBuildCopy);

// What a manifest means for the running version.
struct ManifestVerdict {
    enum class Outcome {
        invalidResponse,
        upToDate,
        invalidLocation,
        invalidSignature,
        needsNewerSystem,
        updateAvailable
    };
    Outcome outcome = Outcome::invalidResponse;
    QString version;  // as the manifest has it
    QString location; // the text, not the parsed URL
    QString digest;   // lower case
    platform::Architecture architecture = platform::Architecture::x86_64; // of the image
    QString minimumSystemVersion;                                         // for needsNewerSystem
    std::optional<Rollout> rollout;                                       // for updateAvailable
    std::optional<PatchOffer> patch; // for updateAvailable: from the running version

    // The status line for every outcome but updateAvailable.
    QString message() const;
};
// `systemVersion` is the running macOS ("14.6.1"); empty where there is none,
// and then no minimum applies. A newer version whose minimum this system does
// not meet is needsNewerSystem; a minimum that is not a version is an invalid
// response, since nobody can tell whether the update would start.
ManifestVerdict evaluateManifest(const MacUpdateManifest& manifest, const QString& currentVersion,
                                 const UpdateServer& server,
                                 platform::RunningCopy copy = platform::kBuildCopy,
                                 const QString& systemVersion = QString());

// The version below which a copy must take the offered `version`: the
// manifest's "critical_below" (snake case first) when it is a version and not
// newer than `version`; otherwise none, and one line in the log.
[[nodiscard]] std::optional<QString> manifestCriticalBelow(const MacUpdateManifest& manifest,
                                                           const QString& version);

// 1 to 262 144 bytes; an unknown size (negative) fails.
bool isAcceptableManifestSize(qint64 size);

// 64 ASCII hexadecimal digits once lower-cased.
bool isValidDigest(const QString& lowerCaseDigest);

} // namespace veldra
