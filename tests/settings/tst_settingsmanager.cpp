#include "Rows.h"
#include "TestBundle.h"
#include "platform/ManagedPreferences.h"
#include "settings/ManagedSettings.h"
#include "settings/SettingsManager.h"

#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

class TestSettingsManager : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_file;

    std::unique_ptr<QSettings> store() const {
        return std::make_unique<QSettings>(m_file, QSettings::IniFormat);
    }
    // The store as another process reads it.
    QByteArray onDisk() const {
        QFile file(m_file);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void init() {
        static int n = 0;
        m_file = m_dir.filePath(QString("defaults-%1.ini").arg(++n));
    }

    void load_data() {
        // forced: by the organisation
        columns<QVariant, QVariant, bool, QString, QVariant>("remember", "saved", "remembering",
                                                             "shown", "forced");
        const QVariant none;
        row("first launch", none, none, true, "", none);
        row("remembering", QVariant(true), QVariant("alice"), true, "alice", none);
        row("a stale username", QVariant(false), QVariant("alice"), false, "", none);
        row("not a Boolean counts as absent", QVariant(7), QVariant("bob"), true, "bob", none);
        row("forced off forgets", QVariant(true), QVariant("alice"), false, "", QVariant(false));
        row("forced on", QVariant(false), none, true, "", QVariant(true));
    }
    void load() {
        auto [remember, saved, remembering, shown, forced] =
            fetch<QVariant, QVariant, bool, QString, QVariant>("remember", "saved", "remembering",
                                                               "shown", "forced");
        if (remember.isValid())
            store()->setValue(SettingsManager::kRememberUsername, remember);
        if (saved.isValid())
            store()->setValue(SettingsManager::kSavedUsername, saved);
        SettingsManager settings(platform::userDefaultsOn(store()),
                                 forced.isValid() ? std::optional(forced.toBool()) : std::nullopt);
        if (forced.isValid())
            settings.setRememberUsername(!remembering); // not the user's to change
        QCOMPARE(settings.isRememberUsernameForced(), forced.isValid());
        QCOMPARE(settings.rememberUsername(), remembering);
        QCOMPARE(settings.savedUsername(), shown);
        QCOMPARE(onDisk().contains(SettingsManager::kSavedUsername), !shown.isEmpty());
    }

    // What device management forces, as the JSON reader every platform
    // builds hands it over: a wrong type or value is ignored.
    void managed_data() {
        // json: empty: no file; read: mode, prefix, group, remember, beta
        columns<QByteArray, QString>("json", "read");
        row("none", QByteArray(), "0  - - -");
        row("all five", QByteArray(R"({"UpdateMode": "off", "TargetVersionPrefix": "2.4.",
            "UpdateRing": "late", "RememberUsername": false, "UpdateChannel": "beta"})"),
            "2 2.4. 29 0 1");
        row("manual, early, stable", QByteArray(R"({"UpdateMode": "manual", "UpdateRing": "early",
            "UpdateChannel": "stable"})"),
            "1  0 - 0");
        row("wrong types and values", QByteArray(R"({"UpdateMode": "no", "TargetVersionPrefix": 2,
            "UpdateRing": "soon", "RememberUsername": "no", "UpdateChannel": "nightly"})"),
            "0  - - -");
        row("not JSON", QByteArray("{"), "0  - - -");
    }
    void managed() {
        auto [json, read] = fetch<QByteArray, QString>("json", "read");
        const QString file = m_dir.filePath("managed.json");
        QFile::remove(file);
        QVERIFY(json.isEmpty() || TestBundle::writeFile(file, json, 0644));
        const ManagedSettings s =
            readManagedSettings(platform::managedPreferencesFromJson(file, managedSettingKeys()));
        const auto text = [](const auto& v) { return v ? QString::number(*v) : QString("-"); };
        QCOMPARE(QString("%1 %2 %3 %4 %5")
                     .arg(int(s.updateMode))
                     .arg(s.targetVersionPrefix, text(s.rolloutGroup), text(s.rememberUsername),
                          text(s.betaUpdates)),
                 read);
    }

    // The username is written only while remembering is on, and at once,
    // where another process reads it; turning remembering off forgets it.
    void rememberedOnlyWhenAsked() {
        SettingsManager settings(platform::userDefaultsOn(store()));
        settings.recordUsername("alice");
        QVERIFY(onDisk().contains("veldra_saved_username=alice"));
        settings.setRememberUsername(false);
        QVERIFY(onDisk().contains("veldra_remember_username=false"));
        settings.recordUsername("bob");
        QVERIFY(!onDisk().contains(SettingsManager::kSavedUsername));
        QCOMPARE(settings.savedUsername(), QString());
        const SettingsManager next(platform::userDefaultsOn(store())); // the next launch
        QVERIFY(!next.rememberUsername());
        QCOMPARE(next.savedUsername(), QString());
    }

    // A version rolled back for being slow to say it started is offered once
    // more; a second time, or because it ended, never.
    void settleRollBack_data() {
        columns<QString, QString, QString>("reason", "slowBefore", "refused");
        row("slow, the first time", "slow", "", "");
        row("slow again", "slow", "2.1", "2.1");
        row("ended", "exited", "", "2.1");
    }
    void settleRollBack() {
        auto [reason, slowBefore, refused] =
            fetch<QString, QString, QString>("reason", "slowBefore", "refused");
        store()->setValue(SettingsManager::kRolledBackVersion, "2.1");
        store()->setValue(SettingsManager::kRollBackReason, reason);
        store()->setValue(SettingsManager::kSlowStartVersion, slowBefore);
        SettingsManager(platform::userDefaultsOn(store())).settleRollBack();
        QCOMPARE(SettingsManager(platform::userDefaultsOn(store())).rolledBackVersion(), refused);
    }
};

QTEST_GUILESS_MAIN(TestSettingsManager)
#include "tst_settingsmanager.moc"
