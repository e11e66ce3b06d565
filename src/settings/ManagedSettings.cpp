#include "settings/ManagedSettings.h"

namespace veldra {

namespace {

// The value when it has the type the key takes; else none, said once.
std::optional<QVariant> typed(const QVariantMap& forced, const char* key, QMetaType::Type type) {
    const auto found = forced.constFind(QLatin1String(key));
    if (found == forced.cend())
        return std::nullopt;
    if (found->typeId() != type) {
        qWarning("The managed setting %s is ignored: it is not a %s.", key,
                 type == QMetaType::Bool ? "Boolean" : "string");
        return std::nullopt;
    }
    return *found;
}

void ignored(const char* key, const QString& value) {
    qWarning("The managed setting %s is ignored: \"%s\" means nothing here.", key,
             qPrintable(value));
}

} // namespace

QStringList managedSettingKeys() {
    return {QLatin1String(kUpdateModeKey), QLatin1String(kTargetVersionPrefixKey),
            QLatin1String(kUpdateRingKey), QLatin1String(kRememberUsernameKey),
            QLatin1String(kUpdateChannelKey)};
}

ManagedSettings readManagedSettings(const QVariantMap& forced) {
    ManagedSettings settings;
    if (const auto mode = typed(forced, kUpdateModeKey, QMetaType::QString)) {
        const QString text = mode->toString();
        if (text == QLatin1String("manual"))
            settings.updateMode = ManagedSettings::UpdateMode::manual;
        else if (text == QLatin1String("off"))
            settings.updateMode = ManagedSettings::UpdateMode::off;
        else if (text != QLatin1String("automatic"))
            ignored(kUpdateModeKey, text);
    }
    if (const auto prefix = typed(forced, kTargetVersionPrefixKey, QMetaType::QString))
        settings.targetVersionPrefix = prefix->toString();
    if (const auto ring = typed(forced, kUpdateRingKey, QMetaType::QString)) {
        const QString text = ring->toString();
        if (text == QLatin1String("early"))
            settings.rolloutGroup = 0;
        else if (text == QLatin1String("late"))
            settings.rolloutGroup = 29;
        else
            ignored(kUpdateRingKey, text);
    }
    if (const auto remember = typed(forced, kRememberUsernameKey, QMetaType::Bool))
        settings.rememberUsername = remember->toBool();
    if (const auto channel = typed(forced, kUpdateChannelKey, QMetaType::QString)) {
        const QString text = channel->toString();
        if (text == QLatin1String(kBetaChannel) || text == QLatin1String("stable"))
            settings.betaUpdates = text == QLatin1String(kBetaChannel);
        else
            ignored(kUpdateChannelKey, text);
    }
    return settings;
}

} // namespace veldra
