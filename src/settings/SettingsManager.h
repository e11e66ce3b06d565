#pragma once

#include "platform/UserDefaults.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace veldra {

// "Remember my username on this Mac" and the username that goes with it.
// Invariant: while remembering is off, the saved username is empty and its key
// is absent from the store.
class SettingsManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool rememberUsername READ rememberUsername WRITE setRememberUsername NOTIFY
                   rememberUsernameChanged)
    Q_PROPERTY(
        QString savedUsername READ savedUsername WRITE setSavedUsername NOTIFY savedUsernameChanged)
public:
    static constexpr auto kRememberUsername = "veldra_remember_username";
    static constexpr auto kSavedUsername = "veldra_saved_username";
    static constexpr auto kRolloutGroup = "updateRolloutGroup";
    static constexpr auto kRolledBackVersion = "updateRolledBackVersion";
    // Written by the install script beside the version it put back: the
    // copy it starts says so once.
    static constexpr auto kRollBackToAnnounce = "updateRollBackToAnnounce";
    static constexpr auto kPatchRefusedVersion = "updatePatchRefusedVersion";
    // Also the install script's: "slow" when the new version still ran but
    // had not said it started in time, "exited" when it had ended.
    static constexpr auto kRollBackReason = "updateRollBackReason";
    // A version rolled back once only for being slow: offered once more.
    static constexpr auto kSlowStartVersion = "updateSlowStartVersion";
    static constexpr auto kMoveDeclined = "veldra_move_declined";
    static constexpr auto kUpdateChannel = "veldra_update_channel"; // "beta" or "stable"
    // A required version was offered: the next start checks at once.
    static constexpr auto kRequiredVersion = "updateRequiredVersion";
    // The signing keys accepted manifests revoked: their ids, separated by spaces.
    static constexpr auto kRevokedKeys = "updateRevokedKeys";

    // Loads from `defaults` without writing anything but the removal of a
    // stale username. `forcedRemember`, an organisation's: the flag is that,
    // whatever the store says, and no user changes it; when false, a stored
    // username is removed.
    // `forcedBeta`, likewise, forces "Get Beta Updates".
    explicit SettingsManager(std::unique_ptr<platform::UserDefaults> defaults,
                             std::optional<bool> forcedRemember = std::nullopt,
                             std::optional<bool> forcedBeta = std::nullopt,
                             QObject* parent = nullptr);

    // The production instance on the user's own defaults store.
    static SettingsManager& shared();

    bool rememberUsername() const { return m_rememberUsername; }
    bool isRememberUsernameForced() const { return m_rememberForced; }
    QString savedUsername() const { return m_savedUsername; }

    // Stores the flag (even when unchanged); turning it off forgets the
    // username. Nothing, when the organisation forces it.
    void setRememberUsername(bool remember);
    // Stores the username while remembering is on, removes it otherwise.
    void setSavedUsername(const QString& username);
    // What the sign-in view calls with the trimmed username when it connects.
    void recordUsername(const QString& username);

    // This copy's place in staged rollouts, 0 to 29: drawn uniformly the
    // first time, and kept (as text) ever after.
    [[nodiscard]] int rolloutGroup();

    // The version an install put back because it did not start: never
    // offered again by an automatic check.
    [[nodiscard]] QString rolledBackVersion() const;
    void setRolledBackVersion(const QString& version);
    // Whether a roll-back is still to be said, which this forgets.
    [[nodiscard]] bool takeRollBackToAnnounce();
    // Once at start, after any roll-back was recorded: a version that was
    // only slow to say it started is offered once more; rolled back for that
    // a second time, or because it ended, it never is.
    void settleRollBack();

    // "Get Beta Updates": the user's choice, unless `forced` by the
    // organisation; an unknown channel in the store counts as none, said
    // once in the log.
    [[nodiscard]] bool betaUpdates() const;
    bool isBetaUpdatesForced() const { return m_forcedBeta.has_value(); }
    void setBetaUpdates(bool beta);

    // The required version last offered (empty: none).
    [[nodiscard]] QString requiredVersion() const;
    void setRequiredVersion(const QString& version);

    // Whether the user said "Not Now" to moving the copy at `path` (where
    // they put it) to Applications; the last such copy is remembered.
    [[nodiscard]] bool moveDeclined(const QString& path) const;
    void setMoveDeclined(const QString& path);

    // The version whose patch an install could not put in place: it comes
    // as its image.
    [[nodiscard]] QString patchRefusedVersion() const;
    void setPatchRefusedVersion(const QString& version);

    // The key ids whose manifests this user's copies refuse; the list only
    // grows: a revocation is never undone.
    [[nodiscard]] QStringList revokedKeys() const;
    void addRevokedKeys(const QStringList& keyIds);

Q_SIGNALS:
    void rememberUsernameChanged(bool remember);
    void savedUsernameChanged(const QString& username);

private:
    std::unique_ptr<platform::UserDefaults> m_defaults;
    bool m_rememberForced = false;
    std::optional<bool> m_forcedBeta;
    bool m_rememberUsername = true;
    QString m_savedUsername;
};

} // namespace veldra
