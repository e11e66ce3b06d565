#include "platform/ManagedPreferences.h"

#include "platform/CFHolder_mac.h"

namespace veldra::platform {

namespace {

QVariant toVariant(CFPropertyListRef value) {
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID())
        return QString::fromCFString(static_cast<CFStringRef>(value));
    if (type == CFBooleanGetTypeID())
        return bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
    double number = 0;
    if (type == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &number))
        return number;
    return {};
}

} // namespace

QVariantMap managedPreferences(const QString& domain, const QStringList& keys, const QString&) {
    // What a configuration profile forces lives in the managed layer, which
    // CFPreferencesCopyAppValue reads first; only a forced value counts, so
    // that a user's own `defaults write` never passes for the organisation's.
    const CFHolder application = toCF(domain);
    const auto app = static_cast<CFStringRef>(application.get());
    QVariantMap values;
    for (const QString& key : keys) {
        const CFHolder name = toCF(key);
        const auto cfKey = static_cast<CFStringRef>(name.get());
        if (!CFPreferencesAppValueIsForced(cfKey, app))
            continue;
        const CFHolder value(CFPreferencesCopyAppValue(cfKey, app));
        if (value)
            values.insert(key, toVariant(value.get()));
    }
    return values;
}

} // namespace veldra::platform
