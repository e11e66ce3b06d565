#include "platform/UserDefaults.h"

#include "platform/CFHolder_mac.h"

namespace veldra::platform {

namespace {

// The defaults domain of the bundle identifier, through CFPreferences, so
// that cfprefsd owns the file: writing the .plist ourselves could be
// overwritten by its cache or go unseen by `defaults`.
class PreferencesDefaults final : public UserDefaults {
public:
    explicit PreferencesDefaults(const QString& domain) : m_domain(toCF(domain)) {}

    QVariant value(const QString& key) const override {
        const CFHolder value(
            CFPreferencesCopyAppValue(static_cast<CFStringRef>(toCF(key).get()), domain()));
        if (!value)
            return {};
        if (CFGetTypeID(value.get()) == CFBooleanGetTypeID())
            return bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value.get())));
        if (CFGetTypeID(value.get()) == CFStringGetTypeID())
            return QString::fromCFString(static_cast<CFStringRef>(value.get()));
        // Another type (someone ran `defaults write` with -int, say) reads as
        // absent, so the setting falls back to its default.
        return {};
    }

    void setValue(const QString& key, const QVariant& value) override {
        CFHolder stored;
        CFPropertyListRef plistValue = nullptr;
        if (value.typeId() == QMetaType::Bool) {
            plistValue = value.toBool() ? kCFBooleanTrue : kCFBooleanFalse;
        } else {
            stored = toCF(value.toString());
            plistValue = stored.get();
        }
        CFPreferencesSetAppValue(static_cast<CFStringRef>(toCF(key).get()), plistValue, domain());
        CFPreferencesAppSynchronize(domain());
    }

    void remove(const QString& key) override {
        CFPreferencesSetAppValue(static_cast<CFStringRef>(toCF(key).get()), nullptr, domain());
        CFPreferencesAppSynchronize(domain());
    }

private:
    CFStringRef domain() const { return static_cast<CFStringRef>(m_domain.get()); }

    CFHolder m_domain;
};

} // namespace

std::unique_ptr<UserDefaults> openUserDefaults(const QString& bundleIdentifier) {
    return std::make_unique<PreferencesDefaults>(bundleIdentifier);
}

} // namespace veldra::platform
