#include "launcher/Credentials.h"

#include <QTest>

using namespace veldra;

class TestCredentials : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void split_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("hasDomain");
        QTest::addColumn<QString>("domain");
        const auto row = [](const char* name, const char* input, const char* user, bool hasDomain,
                            const char* domain) {
            QTest::newRow(name) << QString(input) << QString(user) << hasDomain << QString(domain);
        };
        row("default domain", "alice", "alice", true, "VELDRA");
        row("other domain", "OTHER\\alice", "alice", true, "OTHER");
        row("leading backslash", "\\alice", "alice", false, "");
        row("domain only", "OTHER\\", "", true, "OTHER");
        row("upn", "alice@veldra.example", "alice@veldra.example", false, "");
        row("second backslash kept", "A\\b\\c", "b\\c", true, "A");
        row("backslash wins over at", "D\\a@b", "a@b", true, "D");
    }
    void split() {
        QFETCH(QString, input);
        QFETCH(QString, user);
        QFETCH(bool, hasDomain);
        QFETCH(QString, domain);
        const SplitUsername result = splitUsername(input);
        QCOMPARE(result.user, user);
        QCOMPARE(result.domain.has_value(), hasDomain);
        if (hasDomain)
            QCOMPARE(*result.domain, domain);
    }

    void controlCharacters_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("control");
        QTest::newRow("plain") << "alice smith" << false;
        QTest::newRow("accents and emoji") << QString::fromUtf8("Zoë 🎬 ü") << false;
        QTest::newRow("NUL") << QString(QChar(0)) + "a" << true;
        QTest::newRow("tab") << "a\tb" << true;
        QTest::newRow("C1 control") << QString(QChar(0x85)) << true;
        QTest::newRow("zero-width joiner") << QString::fromUtf8("a\u200Db") << true;
        QTest::newRow("byte-order mark") << QString(QChar(0xFEFF)) + "a" << true;
        QTest::newRow("astral format char") << QString::fromUcs4(U"a\U000E0001") << true;
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << true;
        QTest::newRow("no-break space") << QString::fromUtf8("a\u00A0b") << false;
    }
    void controlCharacters() {
        QFETCH(QString, text);
        QFETCH(bool, control);
        QCOMPARE(containsControlCharacters(text), control);
    }

    void perceivedLength_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length");
        QTest::newRow("ascii") << "abc" << 3;
        QTest::newRow("combining accent") << QString::fromUtf8("e\u0301e\u0301") << 2;
        QTest::newRow("flag emoji") << QString::fromUtf8("🇫🇷") << 1;
        QTest::newRow("astral") << QString::fromUtf8("𝔘𝔘") << 2;
        QTest::newRow("empty") << "" << 0;
    }
    void perceivedLength() {
        QFETCH(QString, text);
        QFETCH(int, length);
        QCOMPARE(userPerceivedLength(text), length);
    }

    void trimming_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("trimmed");
        QTest::newRow("spaces") << "  a b  " << QString("a b");
        QTest::newRow("newlines and tabs") << "\t\na\r\n" << QString("a");
        QTest::newRow("unicode spaces") << QString::fromUtf8("\u3000a\u2028\u00A0") << "a";
        QTest::newRow("zero-width space is not white space")
            << QString::fromUtf8("\u200Ba") << QString::fromUtf8("\u200Ba");
    }
    void trimming() {
        QFETCH(QString, text);
        QFETCH(QString, trimmed);
        QCOMPARE(trimWhitespace(text), trimmed);
    }
};

QTEST_APPLESS_MAIN(TestCredentials)
#include "tst_credentials.moc"
