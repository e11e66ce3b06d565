#include "launcher/ClientCommandLine.h"

#include <QTest>

#include <limits>

using namespace veldra;
using platform::ScreenInfo;

class TestClientCommandLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void display_data() {
        QTest::addColumn<bool>("hasScreen");
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("height");
        QTest::addColumn<double>("scale");
        QTest::addColumn<QStringList>("expected");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("no screen")
            << false << 0.0 << 0.0 << 0.0
            << QStringList{"/size:1240x736", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("retina laptop")
            << true << 1440.0 << 875.0 << 2.0
            << QStringList{"/size:2800x1622", "/scale-desktop:200", "/scale-device:180"};
        QTest::newRow("full hd, odd height")
            << true << 1920.0 << 1055.0 << 1.0
            << QStringList{"/size:1880x990", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("scale 1.25")
            << true << 1440.0 << 900.0 << 1.25
            << QStringList{"/size:1750x1044", "/scale-desktop:125", "/scale-device:100"};
        QTest::newRow("scale 1.5")
            << true << 1000.0 << 864.0 << 1.5
            << QStringList{"/size:1440x1200", "/scale-desktop:150", "/scale-device:180"};
        QTest::newRow("odd product made even")
            << true << 1001.0 << 864.0 << 1.5
            << QStringList{"/size:1440x1200", "/scale-desktop:150", "/scale-device:180"};
        QTest::newRow("scale 3.0 kept")
            << true << 1000.0 << 800.0 << 3.0
            << QStringList{"/size:2880x2208", "/scale-desktop:300", "/scale-device:180"};
        QTest::newRow("scale 0.5 treated as 1")
            << true << 1000.0 << 800.0 << 0.5
            << QStringList{"/size:960x736", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("scale 4 treated as 1, not 3")
            << true << 1000.0 << 800.0 << 4.0
            << QStringList{"/size:960x736", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("scale NaN")
            << true << 1000.0 << 800.0 << nan
            << QStringList{"/size:960x736", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("tiny screen clamps to 200")
            << true << 150.0 << 150.0 << 1.0
            << QStringList{"/size:200x200", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("width at margin falls back")
            << true << 40.0 << 864.0 << 1.0
            << QStringList{"/size:1240x800", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("NaN width falls back")
            << true << nan << inf << 1.0
            << QStringList{"/size:1240x736", "/scale-desktop:100", "/scale-device:100"};
        QTest::newRow("5K clamps width to 8192")
            << true << 5120.0 << 2815.0 << 2.0
            << QStringList{"/size:8192x5502", "/scale-desktop:200", "/scale-device:180"};
    }
    void display() {
        QFETCH(bool, hasScreen);
        QFETCH(double, width);
        QFETCH(double, height);
        QFETCH(double, scale);
        QFETCH(QStringList, expected);
        const auto screen =
            hasScreen ? std::optional<ScreenInfo>(ScreenInfo{width, height, scale}) : std::nullopt;
        QCOMPARE(displayArguments(screen), expected);
    }

    void argumentsWithDomain() {
        const QStringList display = displayArguments(std::nullopt);
        const QStringList list =
            clientArguments("rdp.example:3390", "alice", QString("VELDRA"), display);
        // The client's contract, in order; "|" separates the elements.
        const QString expected =
            "/v:rdp.example:3390|/u:alice|/cert:tofu|/from-stdin:force|/dynamic-resolution|"
            "+clipboard|/printer|/sound|/microphone|/network:auto|+auto-reconnect|+decorations|"
            "-grab-keyboard|-grab-mouse|/t:Veldra Cloud Desktop|/size:1240x736|"
            "/scale-desktop:100|/scale-device:100|/d:VELDRA";
        QCOMPARE(list.join('|'), expected);
    }

    void argumentsWithoutDomain_data() {
        QTest::addColumn<bool>("hasDomain");
        QTest::addColumn<QString>("domain");
        QTest::newRow("none") << false << "";
        QTest::newRow("empty") << true << "";
    }
    void argumentsWithoutDomain() {
        QFETCH(bool, hasDomain);
        QFETCH(QString, domain);
        const QStringList list =
            clientArguments("h", "a@b", hasDomain ? std::optional(domain) : std::nullopt,
                            displayArguments(std::nullopt));
        QCOMPARE(list.size(), 18);
        QCOMPARE(list.last(), "/scale-device:100");
    }

    void redaction() {
        const QStringList list =
            clientArguments("h", "alice", QString("OTHER"), displayArguments(std::nullopt));
        const QString shown = redactedArguments(list);
        QVERIFY(shown.startsWith("/v:h /u:<redacted> /cert:tofu "));
        QVERIFY(shown.endsWith(" /t:Veldra Cloud Desktop /size:1240x736 /scale-desktop:100 "
                               "/scale-device:100 /d:<redacted>"));
        QVERIFY(!shown.contains("alice"));
        QVERIFY(!shown.contains("OTHER"));
        // Only the first three characters decide.
        QCOMPARE(redactedArguments({"/u:", "/d:x", "/u", "/dynamic-resolution"}),
                 "/u:<redacted> /d:<redacted> /u /dynamic-resolution");
    }
};

QTEST_APPLESS_MAIN(TestClientCommandLine)
#include "tst_clientcommandline.moc"
