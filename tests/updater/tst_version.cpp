#include "TestBundle.h"
#include "updater/Version.h"

#include <QTest>

using namespace veldra;

Q_DECLARE_METATYPE(std::optional<VersionComponents>)

class TestVersion : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<VersionComponents>>("parsed");
        using V = VersionComponents;
        const std::optional<VersionComponents> none;
        QTest::newRow("three parts") << "2.4.1" << std::optional(V{2, 4, 1});
        QTest::newRow("one part") << "7" << std::optional(V{7});
        QTest::newRow("four parts") << "1.2.3.4" << std::optional(V{1, 2, 3, 4});
        QTest::newRow("five parts") << "1.2.3.4.5" << none;
        QTest::newRow("leading zeros") << "01.002" << std::optional(V{1, 2});
        QTest::newRow("largest 64-bit")
            << "9223372036854775807" << std::optional(V{9223372036854775807});
        QTest::newRow("one above 64-bit") << "1.9223372036854775808" << none;
        QTest::newRow("empty") << "" << none;
        QTest::newRow("leading v") << "v1.2" << none;
        QTest::newRow("pre-release suffix") << "1.2-beta" << none;
        QTest::newRow("trailing space") << "1.2 " << none;
        QTest::newRow("minus") << "-1.2" << none;
        QTest::newRow("double dot") << "1..2" << none;
        QTest::newRow("trailing dot") << "1.2." << none;
        QTest::newRow("arabic-indic digits") << QString::fromUtf8("١.٢") << none;
        QTest::newRow("superscript") << QString::fromUtf8("1.²") << none;
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(std::optional<VersionComponents>, parsed);
        QCOMPARE(parseVersion(text), parsed);
    }

    void order_data() {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<bool>("newer");
        QTest::addColumn<bool>("same");
        const auto row = [](const char* name, const char* candidate, const char* reference,
                            bool newer, bool same) {
            QTest::newRow(name) << QString(candidate) << QString(reference) << newer << same;
        };
        row("numeric, not textual", "2.10", "2.9", true, false);
        row("extra part", "1.2.1", "1.2", true, false);
        row("1.2 vs 1.2.0: neither newer nor same", "1.2", "1.2.0", false, false);
        row("1.2.0 vs 1.2", "1.2.0", "1.2", false, false);
        row("equal", "1.2", "1.2", false, true);
        row("leading zero same", "01.2", "1.2", false, true);
        row("five parts never newer", "9.0.0.0.1", "1.0", false, false);
        row("nothing newer than five parts", "9.0", "1.0.0.0.1", false, false);
        row("unreadable running version", "2.0", "", false, false);
        row("huge components", "9223372036854775807", "9223372036854775806", true, false);
    }
    void order() {
        QFETCH(QString, candidate);
        QFETCH(QString, reference);
        QFETCH(bool, newer);
        QFETCH(bool, same);
        QCOMPARE(isNewerVersion(candidate, reference), newer);
        QCOMPARE(isSameVersion(candidate, reference), same);
    }

    void bundleVersion_data() {
        QTest::addColumn<QByteArray>("plist");
        QTest::addColumn<QString>("version");
        const QByteArray head =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
        const QByteArray tail = "</dict></plist>";
        QTest::newRow("present")
            << head + "<key>CFBundleShortVersionString</key><string>2.4.1</string>" + tail
            << "2.4.1";
        QTest::newRow("unparsable text is kept")
            << head + "<key>CFBundleShortVersionString</key><string>v2 beta</string>" + tail
            << "v2 beta";
        QTest::newRow("missing key")
            << head + "<key>CFBundleVersion</key><string>9</string>" + tail << "1.0.0";
        QTest::newRow("not text")
            << head + "<key>CFBundleShortVersionString</key><integer>2</integer>" + tail << "1.0.0";
        QTest::newRow("garbage") << QByteArray("not a plist") << "1.0.0";
        QTest::newRow("no Info.plist") << QByteArray() << "1.0.0";
    }
    void bundleVersion() {
        QFETCH(QByteArray, plist);
        QFETCH(QString, version);
        test::TestBundle bundle;
        if (!plist.isEmpty())
            QVERIFY(
                test::TestBundle::writeFile(bundle.path() + "/Contents/Info.plist", plist, 0644));
        QCOMPARE(appVersionOfBundle(bundle.path()), version);
    }
};

QTEST_APPLESS_MAIN(TestVersion)
#include "tst_version.moc"
