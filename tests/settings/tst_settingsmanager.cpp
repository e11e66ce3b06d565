#include "settings/SettingsManager.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;

class TestSettingsManager : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_file;

    std::unique_ptr<QSettings> store() const {
        return std::make_unique<QSettings>(m_file, QSettings::IniFormat);
    }
    std::unique_ptr<platform::UserDefaults> defaults() const {
        return platform::userDefaultsOn(store());
    }
    QVariant stored(const char* key) const { return store()->value(QLatin1String(key)); }
    bool has(const char* key) const { return store()->contains(QLatin1String(key)); }

private Q_SLOTS:
    void init() {
        static int n = 0;
        m_file = m_dir.path() + QStringLiteral("/defaults-%1.ini").arg(++n);
    }

    void load_data() {
        QTest::addColumn<QVariant>("remember");
        QTest::addColumn<QVariant>("saved");
        QTest::addColumn<bool>("expectRemember");
        QTest::addColumn<QString>("expectSaved");
        QTest::addColumn<bool>("savedKeyKept");
        QTest::newRow("first launch") << QVariant() << QVariant() << true << "" << false;
        QTest::newRow("remembering, saved")
            << QVariant(true) << QVariant("alice") << true << "alice" << true;
        QTest::newRow("remembering absent, saved")
            << QVariant() << QVariant("alice") << true << "alice" << true;
        QTest::newRow("stale username, remembering off")
            << QVariant(false) << QVariant("alice") << false << "" << false;
        QTest::newRow("flag not a Boolean counts as absent")
            << QVariant(7) << QVariant("bob") << true << "bob" << true;
        QTest::newRow("username not a string")
            << QVariant(true) << QVariant(QStringList{"a", "b"}) << true << "" << true;
    }
    void load() {
        QFETCH(QVariant, remember);
        QFETCH(QVariant, saved);
        QFETCH(bool, expectRemember);
        QFETCH(QString, expectSaved);
        QFETCH(bool, savedKeyKept);
        {
            auto seed = store();
            if (remember.isValid())
                seed->setValue(SettingsManager::kRememberUsername, remember);
            if (saved.isValid())
                seed->setValue(SettingsManager::kSavedUsername, saved);
        }
        const QVariant rememberBefore = stored(SettingsManager::kRememberUsername);
        SettingsManager settings(defaults());
        QCOMPARE(settings.rememberUsername(), expectRemember);
        QCOMPARE(settings.savedUsername(), expectSaved);
        QCOMPARE(has(SettingsManager::kSavedUsername), savedKeyKept);
        // Loading writes nothing.
        QCOMPARE(stored(SettingsManager::kRememberUsername), rememberBefore);
    }

    void uncheckForgetsAtOnce() {
        SettingsManager settings(defaults());
        settings.recordUsername("alice");
        QCOMPARE(stored(SettingsManager::kSavedUsername).toString(), "alice");
        QSignalSpy rememberSpy(&settings, &SettingsManager::rememberUsernameChanged);
        QSignalSpy savedSpy(&settings, &SettingsManager::savedUsernameChanged);
        settings.setRememberUsername(false);
        QCOMPARE(rememberSpy.count(), 1);
        QCOMPARE(savedSpy.count(), 1);
        QCOMPARE(settings.savedUsername(), QString());
        QVERIFY(!has(SettingsManager::kSavedUsername));
        QCOMPARE(stored(SettingsManager::kRememberUsername).toString(), "false");
        // And it stays off across launches.
        SettingsManager again(defaults());
        QVERIFY(!again.rememberUsername());
    }

    // Setting the same value still stores the flag; re-checking writes only
    // the flag; the username is on disk at once, where another process reads
    // it (not only in this process's settings cache).
    void recheckWritesOnlyTheFlag() {
        SettingsManager settings(defaults());
        QSignalSpy spy(&settings, &SettingsManager::rememberUsernameChanged);
        settings.setRememberUsername(true);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(stored(SettingsManager::kRememberUsername).toString(), "true");
        settings.setRememberUsername(false);
        settings.setRememberUsername(true);
        QVERIFY(!has(SettingsManager::kSavedUsername));
        settings.recordUsername("alice");
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains(QByteArray(SettingsManager::kSavedUsername) + "=alice"));
    }

    void recordWhileNotRemembering() {
        SettingsManager settings(defaults());
        settings.setRememberUsername(false);
        {
            auto sneaky = store(); // a key that appeared behind our back
            sneaky->setValue(SettingsManager::kSavedUsername, "stale");
        }
        settings.recordUsername("alice");
        QCOMPARE(settings.savedUsername(), QString());
        QVERIFY(!has(SettingsManager::kSavedUsername));
        settings.setSavedUsername("kept in memory");
        QCOMPARE(settings.savedUsername(), "kept in memory");
        QVERIFY(!has(SettingsManager::kSavedUsername));
    }

    void emptyUsernameIsStoredAsEmpty() {
        SettingsManager settings(defaults());
        settings.recordUsername("alice");
        settings.recordUsername("");
        QVERIFY(has(SettingsManager::kSavedUsername));
        QCOMPARE(stored(SettingsManager::kSavedUsername).toString(), QString());
    }
};

QTEST_GUILESS_MAIN(TestSettingsManager)
#include "tst_settingsmanager.moc"
