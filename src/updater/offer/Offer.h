#pragma once

#include "updater/offer/MacUpdateManifest.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace veldra {

// The outcome of reading a fetched manifest.
struct CheckResult {
    // needsNewerSystem: a newer version this macOS cannot run; said only to
    // a user who asked.
    enum class Kind { failed, upToDate, needsNewerSystem, available };
    Kind kind = Kind::failed;
    QString message;  // for failed and needsNewerSystem
    QString version;  // for available, as the manifest has it
    QString location; // for available, the text
    QString digest;   // for available, lower case
    platform::Architecture architecture = platform::Architecture::x86_64; // for available
    std::optional<Rollout> rollout = std::nullopt;                        // for available
    std::optional<PatchOffer> patch = std::nullopt; // for available: from the running version
    QString releaseNotes = {};                      // for available: "releaseNotes", if any
    // For available: this copy is below the manifest's "critical_below" and
    // must update; why, as the manifest says it (empty: a plain default).
    bool required = false;
    QString requiredReason = {};
    QString criticalBelow = {}; // for available: the manifest's floor, when it holds
};

// Decodes a manifest's exact bytes and applies the manifest rules.
// `copy` chooses the manifest's entries (see selectManifestEntries);
// `systemVersion` is the running macOS (see evaluateManifest). A copy on a
// `channel` ("beta") takes the newer of the top level's version and that of
// the channel's entry under "channels", an object of the same form judged by
// the same rules; an entry that fails them is ignored alone, with one line in
// the log. A copy on no channel never sees a channel's entry.
[[nodiscard]] CheckResult judgeManifest(const QByteArray& bytes, const QString& currentVersion,
                                        const UpdateServer& server, platform::RunningCopy copy,
                                        const QString& systemVersion,
                                        const QString& channel = QString());

// Whether an automatic check offers an available version now: always without
// a rollout, otherwise from the time the rollout reaches `group`. A check the
// user asked for offers it at once.
[[nodiscard]] bool isOfferedNow(const std::optional<Rollout>& rollout, bool manual, int group,
                                const QDateTime& now);

// "Version X could not start and was rolled back."
[[nodiscard]] QString rolledBackMessage(const QString& version);
// "Version X is held back by your organisation."
[[nodiscard]] QString heldBackMessage(const QString& version);
// "This version of Veldra Cloud Desktop is no longer supported."
[[nodiscard]] QString unsupportedMessage();

// What this copy's rules make of a check's result.
struct OfferRules {
    QString rolledBackVersion; // put back after it did not start: never offered again
    int rolloutGroup = 0;      // 0 to 29
    // An organisation's hold: only versions that start with it; empty: any.
    QString targetVersionPrefix = {};
};

// What a finished check does: offer the version, or end with an optional
// status line, forgetting a known update when `clearUpdate`. A line that is
// `quietUnlessManual` reaches the status line only when a user asked.
struct OfferDecision {
    bool offer = false;
    std::optional<QString> message = std::nullopt;
    bool clearUpdate = false;
    bool quietUnlessManual = false;
};

[[nodiscard]] OfferDecision decideOffer(const CheckResult& result, const OfferRules& rules,
                                        bool manual, const QDateTime& now);

} // namespace veldra
