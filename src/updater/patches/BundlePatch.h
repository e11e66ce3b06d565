#pragma once

#include <QString>

#include <atomic>
#include <optional>
#include <variant>

namespace veldra {

// A patch turns one version's bundle into the next one's, byte for byte. It
// is a tar archive (pax): first "patch.json", the new bundle's every entry in
// order (folders, files, links, with their modes), each file either kept from
// the old bundle, patched (a zstd frame made with the old file as its prefix,
// as `zstd --patch-from` makes them) or added (a plain zstd frame); then those
// frames as "data/N". Whatever the old bundle has and the listing does not is
// removed. The header names both versions, both tree digests and the mode of
// the new bundle's own folder.
struct PatchHeader {
    QString fromVersion;
    QString toVersion;
    QString sourceTree;       // of the bundle the patch applies to
    QString resultTree;       // of the bundle it makes
    unsigned rootMode = 0755; // of the bundle's own folder, which no tree digest covers
    int kept = 0;
    int patched = 0;
    int added = 0;
    int removed = 0;
};

struct PatchProblem {
    QString message;
};

inline constexpr auto kPatchHeaderName = "patch.json";

// Writes the patch from `oldApp` to `newApp` (bundles; their versions are read
// from their Info.plist) to `output`.
[[nodiscard]] std::variant<PatchHeader, PatchProblem>
makeBundlePatch(const QString& oldApp, const QString& newApp, const QString& output);

// The header alone.
[[nodiscard]] std::variant<PatchHeader, PatchProblem> readPatchHeader(const QString& patch);

// Builds `destination` (which must not exist) from `installed` and `patch`:
// the installed bundle must have the patch's source tree digest and what is
// built its result tree digest. On failure whatever was built is removed.
// Once `abandoned` is set (the application is quitting) it stops at the next
// entry.
[[nodiscard]] std::variant<PatchHeader, PatchProblem>
applyBundlePatch(const QString& patch, const QString& installed, const QString& destination,
                 const std::atomic<bool>* abandoned = nullptr);

// Removes a bundle built by applyBundlePatch, read-only folders too.
void removeBundleCopy(const QString& path);

} // namespace veldra
