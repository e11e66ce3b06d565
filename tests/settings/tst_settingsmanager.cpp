#include "settings/SettingsManager.h"

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
        QTest::addColumn<QVariant>("remember");
        QTest::addColumn<QVariant>("saved");
        QTest::addColumn<bool>("remembering");
        QTest::addColumn<QString>("shown");
        QTest::newRow("first launch") << QVariant() << QVariant() << true << "";
        QTest::newRow("remembering") << QVariant(true) << QVariant("alice") << true << "alice";
        QTest::newRow("a stale username") << QVariant(false) << QVariant("alice") << false << "";
        QTest::newRow("not a Boolean counts as absent")
            << QVariant(7) << QVariant("bob") << true << "bob";
    }
    void load() {
        QFETCH(QVariant, remember);
        QFETCH(QVariant, saved);
        QFETCH(bool, remembering);
        QFETCH(QString, shown);
        if (remember.isValid())
            store()->setValue(SettingsManager::kRememberUsername, remember);
        if (saved.isValid())
            store()->setValue(SettingsManager::kSavedUsername, saved);
        const SettingsManager settings(platform::userDefaultsOn(store()));
        QCOMPARE(settings.rememberUsername(), remembering);
        QCOMPARE(settings.savedUsername(), shown);
        QCOMPARE(onDisk().contains(SettingsManager::kSavedUsername), !shown.isEmpty());
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
};

QTEST_GUILESS_MAIN(TestSettingsManager)
#include "tst_settingsmanager.moc"
