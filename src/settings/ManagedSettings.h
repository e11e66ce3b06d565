#pragma once

#include "updater/offer/Channel.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace veldra {

// What an organisation's device management decides for every copy, read once
// at start from the forced values of the application's domain. A key of the
// wrong type, or a value that means nothing, is ignored with one line in the
// log; without managed settings a copy behaves as it always has.
struct ManagedSettings {
    // "automatic" (checks on their schedule), "manual" (only when a user
    // asks), "off" (never: the organisation pushes versions itself).
    enum class UpdateMode { automatic, manual, off };
    UpdateMode updateMode = UpdateMode::automatic;
    QString targetVersionPrefix;          // empty: every version
    std::optional<int> rolloutGroup;      // "early" 0, "late" 29; none: the drawn one
    std::optional<bool> rememberUsername; // forced state of the checkbox
    std::optional<bool> betaUpdates;      // "beta" true, "stable" false
};

inline constexpr auto kUpdateModeKey = "UpdateMode";
inline constexpr auto kTargetVersionPrefixKey = "TargetVersionPrefix";
inline constexpr auto kUpdateRingKey = "UpdateRing";
inline constexpr auto kRememberUsernameKey = "RememberUsername";
inline constexpr auto kUpdateChannelKey = "UpdateChannel";

// The keys an organisation may force.
[[nodiscard]] QStringList managedSettingKeys();

// The settings those forced values make.
[[nodiscard]] ManagedSettings readManagedSettings(const QVariantMap& forced);

} // namespace veldra
