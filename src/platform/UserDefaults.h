#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

namespace veldra::platform {

// The per-user defaults store of the application: the defaults domain of the
// bundle identifier on macOS (what `defaults read <bundle id>` shows), a
// per-user settings file elsewhere. Values are Booleans and texts.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // An invalid QVariant when the key is absent.
    [[nodiscard]] virtual QVariant value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual void remove(const QString& key) = 0;
};

// The production store for `bundleIdentifier`.
[[nodiscard]] std::unique_ptr<UserDefaults> openUserDefaults(const QString& bundleIdentifier);

// A store on a QSettings object: the non-macOS production store, and tests.
[[nodiscard]] std::unique_ptr<UserDefaults> userDefaultsOn(std::unique_ptr<QSettings> settings);

} // namespace veldra::platform
