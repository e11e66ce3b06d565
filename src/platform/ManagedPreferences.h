#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace veldra::platform {

// The values an organisation's device management forces for `keys` in the
// application's preference domain, as configuration profiles store them:
// strings as QString, Booleans as bool, numbers as double, anything else as
// an invalid QVariant. Unforced keys are absent.
//
// On macOS the managed layer of CFPreferences (a value counts only when
// CFPreferencesAppValueIsForced says so; QSettings does not see that layer).
// Elsewhere managedPreferencesFromJson(standInFile).
[[nodiscard]] QVariantMap managedPreferences(const QString& domain, const QStringList& keys,
                                             const QString& standInFile);

// The same values from a JSON object in `file`, on every platform: a missing
// file is no managed settings, an unreadable one is ignored with a line in
// the log.
[[nodiscard]] QVariantMap managedPreferencesFromJson(const QString& file, const QStringList& keys);

} // namespace veldra::platform
