#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <vector>

namespace veldra {

using VersionComponents = std::vector<std::int64_t>;

// One to four dot-separated runs of ASCII digits, each within a signed 64-bit
// value; anything else (signs, spaces, "v", suffixes, other scripts) is none.
std::optional<VersionComponents> parseVersion(QStringView text);

// Candidate strictly above reference, missing positions counting as 0; false
// when either does not parse.
bool isNewerVersion(QStringView candidate, QStringView reference);

// Both parse to identical lists: same length, same values (1.2 ≠ 1.2.0).
bool isSameVersion(QStringView a, QStringView b);

// CFBundleShortVersionString of the running bundle, or "1.0.0" where it is
// missing or not text.
QString currentAppVersion();
QString appVersionOfBundle(const QString& bundlePath);
// The version the bundle at `bundlePath` says now when it is not `running`:
// another copy was put in its place. Empty while it says `running`, and while
// it says nothing (a copy half moved in).
QString replacingVersion(const QString& bundlePath, const QString& running);

} // namespace veldra
