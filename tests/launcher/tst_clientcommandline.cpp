// What the client is given: the credential rules, its command line and the
// display arithmetic.
#include "Rows.h"
#include "launcher/ClientCommandLine.h"
#include "launcher/Credentials.h"

#include <QRegularExpression>
#include <QTest>

#include <limits>

using namespace veldra;
using namespace veldra::test;

class TestClientCommandLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlCharacters_data() {
        columns<QString, bool>("text", "refused");
        QTest::newRow("plain") << "alice smith" << false;
        QTest::newRow("accents and emoji") << QString::fromUtf8("Zoë 🎬 ü") << false;
        QTest::newRow("no-break space") << QString::fromUtf8("a\u00A0b") << false;
        QTest::newRow("NUL") << QString(QChar(0)) + "a" << true;
        QTest::newRow("tab") << "a\tb" << true;
        QTest::newRow("C1 control") << QString(QChar(0x85)) << true;
        QTest::newRow("zero-width joiner") << QString::fromUtf8("a\u200Db") << true;
        QTest::newRow("byte-order mark") << QString(QChar(0xFEFF)) + "a" << true;
        QTest::newRow("astral format character") << QString::fromUcs4(U"a\U000E0001") << true;
        QTest::newRow("lone high surrogate") << "a" + QString(QChar(0xD800)) << true;
        QTest::newRow("lone low surrogate") << QString(QChar(0xDC00)) + "a" << true;
    }
    void controlCharacters() {
        auto [text, refused] = fetch<QString, bool>("text", "refused");
        QCOMPARE(containsControlCharacters(text), refused);
    }

    void username_data() {
        // arguments: the client's /u and /d
        columns<QString, QString>("input", "arguments");
        for (const auto& [input, arguments] : {std::pair{"alice", "/u:alice|/d:VELDRA"},
                                               {"OTHER\\alice", "/u:alice|/d:OTHER"},
                                               {"\\alice", "/u:alice"},
                                               {"alice@veldra.example", "/u:alice@veldra.example"},
                                               {"A\\b\\c", "/u:b\\c|/d:A"}})
            QTest::newRow(input) << QString(input) << QString(arguments);
    }
    void username() {
        auto [input, arguments] = fetch<QString, QString>("input", "arguments");
        const SplitUsername split = splitUsername(input);
        const QStringList list = clientArguments("h", split.user, split.domain, {});
        QCOMPARE(list.filter(QRegularExpression("^/[ud]:")).join('|'), arguments);
    }

    void display_data() {
        // width: 0: no screen
        columns<double, double, double, QString>("width", "height", "scale", "expected");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("no screen") << 0.0 << 0.0 << 0.0 << "1240x736 100 100";
        QTest::newRow("retina laptop") << 1440.0 << 875.0 << 2.0 << "2800x1622 200 180";
        QTest::newRow("full hd, odd height") << 1920.0 << 1055.0 << 1.0 << "1880x990 100 100";
        QTest::newRow("scale 1.25") << 1440.0 << 900.0 << 1.25 << "1750x1044 125 100";
        QTest::newRow("scale 1.5, odd product made even")
            << 1001.0 << 864.0 << 1.5 << "1440x1200 150 180";
        QTest::newRow("scale 3 kept") << 1000.0 << 800.0 << 3.0 << "2880x2208 300 180";
        QTest::newRow("scale 4 treated as 1") << 1000.0 << 800.0 << 4.0 << "960x736 100 100";
        QTest::newRow("scale NaN") << 1000.0 << 800.0 << nan << "960x736 100 100";
        QTest::newRow("tiny screen clamps to 200") << 150.0 << 150.0 << 1.0 << "200x200 100 100";
        QTest::newRow("width at the margin") << 40.0 << 864.0 << 1.0 << "1240x800 100 100";
        QTest::newRow("5K clamps to 8192") << 5120.0 << 2815.0 << 2.0 << "8192x5502 200 180";
    }
    void display() {
        auto [width, height, scale, expected] =
            fetch<double, double, double, QString>("width", "height", "scale", "expected");
        const auto screen =
            width != 0.0 ? std::optional(platform::ScreenInfo{width, height, scale}) : std::nullopt;
        const QStringList parts = expected.split(' ');
        QCOMPARE(displayArguments(screen),
                 (QStringList{"/size:" + parts[0], "/scale-desktop:" + parts[1],
                              "/scale-device:" + parts[2]}));
    }
};

QTEST_APPLESS_MAIN(TestClientCommandLine)
#include "tst_clientcommandline.moc"
