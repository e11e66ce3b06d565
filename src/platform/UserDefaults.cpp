#include "platform/UserDefaults.h"

namespace veldra::platform {

namespace {

class SettingsDefaults final : public UserDefaults {
public:
    explicit SettingsDefaults(std::unique_ptr<QSettings> settings)
        : m_settings(std::move(settings)) {}

    QVariant value(const QString& key) const override { return m_settings->value(key); }
    void setValue(const QString& key, const QVariant& value) override {
        m_settings->setValue(key, value);
        m_settings->sync(); // another process may read it before we quit
    }
    void remove(const QString& key) override {
        m_settings->remove(key);
        m_settings->sync();
    }

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace

std::unique_ptr<UserDefaults> userDefaultsOn(std::unique_ptr<QSettings> settings) {
    return std::make_unique<SettingsDefaults>(std::move(settings));
}

#ifndef Q_OS_MACOS
std::unique_ptr<UserDefaults> openUserDefaults(const QString& bundleIdentifier) {
    // ~/.config/<bundle id>.conf
    return userDefaultsOn(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                      bundleIdentifier));
}
#endif

} // namespace veldra::platform
