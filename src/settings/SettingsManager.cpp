#include "settings/SettingsManager.h"

#include "platform/UserDefaults.h"
#include "settings/ManagedSettings.h"

#include <QRandomGenerator>

#include <utility>

namespace veldra {

namespace {

// A Boolean as the store gives it back: a real bool from a property list, or
// the text "true"/"false" from an INI-style store, which keeps no types.
std::optional<bool> readBoolean(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

} // namespace

SettingsManager::SettingsManager(std::unique_ptr<platform::UserDefaults> defaults,
                                 std::optional<bool> forcedRemember, std::optional<bool> forcedBeta,
                                 QObject* parent)
    : QObject(parent), m_defaults(std::move(defaults)),
      m_rememberForced(forcedRemember.has_value()), m_forcedBeta(forcedBeta) {
    const QString rememberKey = QLatin1String(kRememberUsername);
    const QString savedKey = QLatin1String(kSavedUsername);
    m_rememberUsername =
        forcedRemember.value_or(readBoolean(m_defaults->value(rememberKey)).value_or(true));
    if (m_rememberUsername) {
        const QVariant saved = m_defaults->value(savedKey);
        m_savedUsername = saved.typeId() == QMetaType::QString ? saved.toString() : QString();
    } else {
        m_defaults->remove(savedKey);
    }
}

void SettingsManager::setRememberUsername(bool remember) {
    if (m_rememberForced)
        return;
    const bool changed = remember != m_rememberUsername;
    m_rememberUsername = remember;
    m_defaults->setValue(QLatin1String(kRememberUsername), remember);
    if (changed)
        Q_EMIT rememberUsernameChanged(remember);
    if (!remember)
        setSavedUsername(QString());
}

void SettingsManager::setSavedUsername(const QString& username) {
    const bool changed = username != m_savedUsername;
    m_savedUsername = username;
    if (m_rememberUsername)
        m_defaults->setValue(QLatin1String(kSavedUsername), username);
    else
        m_defaults->remove(QLatin1String(kSavedUsername));
    if (changed)
        Q_EMIT savedUsernameChanged(username);
}

void SettingsManager::recordUsername(const QString& username) {
    setSavedUsername(m_rememberUsername ? username : QString());
}

int SettingsManager::rolloutGroup() {
    const QString key = QLatin1String(kRolloutGroup);
    bool ok = false;
    const int kept = m_defaults->value(key).toString().toInt(&ok);
    if (ok && kept >= 0 && kept < 30)
        return kept;
    const int drawn = static_cast<int>(QRandomGenerator::global()->bounded(30));
    m_defaults->setValue(key, QString::number(drawn));
    return drawn;
}

QString SettingsManager::rolledBackVersion() const {
    return m_defaults->value(QLatin1String(kRolledBackVersion)).toString();
}

void SettingsManager::setRolledBackVersion(const QString& version) {
    m_defaults->setValue(QLatin1String(kRolledBackVersion), version);
}

bool SettingsManager::takeRollBackToAnnounce() {
    const bool pending = m_defaults->value(QLatin1String(kRollBackToAnnounce)).isValid();
    if (pending)
        m_defaults->remove(QLatin1String(kRollBackToAnnounce));
    return pending;
}

bool SettingsManager::betaUpdates() const {
    if (m_forcedBeta)
        return *m_forcedBeta;
    const QString channel = m_defaults->value(QLatin1String(kUpdateChannel)).toString();
    if (channel.isEmpty() || channel == QLatin1String("stable"))
        return false;
    if (channel == QLatin1String(kBetaChannel))
        return true;
    static bool said = false;
    if (!std::exchange(said, true))
        qWarning("The update channel \"%s\" in the settings is ignored: there is no such channel.",
                 qPrintable(channel));
    return false;
}

void SettingsManager::setBetaUpdates(bool beta) {
    if (m_forcedBeta)
        return;
    m_defaults->setValue(QLatin1String(kUpdateChannel),
                         beta ? QLatin1String(kBetaChannel) : QLatin1String("stable"));
}

QString SettingsManager::requiredVersion() const {
    return m_defaults->value(QLatin1String(kRequiredVersion)).toString();
}

void SettingsManager::setRequiredVersion(const QString& version) {
    if (version.isEmpty())
        m_defaults->remove(QLatin1String(kRequiredVersion));
    else
        m_defaults->setValue(QLatin1String(kRequiredVersion), version);
}

bool SettingsManager::moveDeclined(const QString& path) const {
    return m_defaults->value(QLatin1String(kMoveDeclined)).toString() == path;
}

void SettingsManager::setMoveDeclined(const QString& path) {
    m_defaults->setValue(QLatin1String(kMoveDeclined), path);
}

void SettingsManager::settleRollBack() {
    const QString reason = m_defaults->value(QLatin1String(kRollBackReason)).toString();
    if (reason.isEmpty())
        return;
    m_defaults->remove(QLatin1String(kRollBackReason));
    const QString version = rolledBackVersion();
    if (reason != QLatin1String("slow") ||
        m_defaults->value(QLatin1String(kSlowStartVersion)).toString() == version)
        return;
    m_defaults->setValue(QLatin1String(kSlowStartVersion), version);
    m_defaults->remove(QLatin1String(kRolledBackVersion));
}

QString SettingsManager::patchRefusedVersion() const {
    return m_defaults->value(QLatin1String(kPatchRefusedVersion)).toString();
}

void SettingsManager::setPatchRefusedVersion(const QString& version) {
    m_defaults->setValue(QLatin1String(kPatchRefusedVersion), version);
}

QStringList SettingsManager::revokedKeys() const {
    return m_defaults->value(QLatin1String(kRevokedKeys))
        .toString()
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

void SettingsManager::addRevokedKeys(const QStringList& keyIds) {
    QStringList revoked = revokedKeys();
    for (const QString& id : keyIds)
        if (!revoked.contains(id))
            revoked << id;
    m_defaults->setValue(QLatin1String(kRevokedKeys), revoked.join(QLatin1Char(' ')));
}

} // namespace veldra
