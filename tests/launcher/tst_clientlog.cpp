#include "Rows.h"
#include "launcher/ClientLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace veldra;
using namespace veldra::test;

class TestClientLog : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return clientLogPath(m_dir->path()); }
    void append(const QByteArray& bytes) const {
        QFile file(path());
        QVERIFY(file.open(QIODevice::Append) && file.write(bytes) == bytes.size());
    }

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    // Made private to the user; started afresh once past 2 MiB.
    void sizeCap_data() {
        // size: -1: no file yet
        columns<qint64, quint64>("size", "startOffset");
        QTest::newRow("new") << qint64(-1) << quint64(0);
        QTest::newRow("exactly 2 MiB stays") << qint64(2'097'152) << quint64(2'097'152);
        QTest::newRow("one byte more goes") << qint64(2'097'153) << quint64(0);
    }
    void sizeCap() {
        auto [size, startOffset] = fetch<qint64, quint64>("size", "startOffset");
        QDir().mkpath(QFileInfo(path()).absolutePath());
        QFile file(path());
        if (size >= 0)
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        const OpenedLog opened = ClientLog(path()).openLogFile(
            {"/v:h", "/u:alice", "/d:VELDRA"}, QDateTime::fromSecsSinceEpoch(0).toUTC());
        QCOMPARE(opened.startOffset, startOffset);
        if (startOffset == 0)
            QCOMPARE(QFile::permissions(path()) & 0x0777, QFile::ReadUser | QFile::WriteUser);
        QFile log(path());
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(qint64(startOffset)));
        QCOMPARE(log.readAll(), "\n[1970-01-01T00:00:00Z] Starting FreeRDP: /v:h /u:<redacted> "
                                "/d:<redacted>\n");
    }

    // A failure's last words: the last three plain lines, at most 420 characters.
    void excerpt_data() {
        columns<QByteArray, QString>("output", "excerpt");
        QTest::newRow("bracketed and empty lines skipped")
            << QByteArray("[INFO] x\nplain one\n\n") << "plain one";
        QTest::newRow("the last three") << QByteArray("a\nb\nc\nd\ne\n") << "c d e";
        QTest::newRow("CR and unicode separators")
            << QByteArray("  first \r second\xe2\x80\xa8third\xc2\x85 fourth \t\n")
            << "second third fourth";
        QTest::newRow("invalid UTF-8") << QByteArray("fine\n\xff\xfe\n") << "";
        QTest::newRow("420 characters, not bytes")
            << QByteArray("é").repeated(430) << QString::fromUtf8("é").repeated(420);
    }
    void excerpt() {
        auto [output, excerpt] = fetch<QByteArray, QString>("output", "excerpt");
        const ClientLog log(path());
        QDir().mkpath(QFileInfo(path()).absolutePath());
        append("an earlier launch's line\n");
        const std::uint64_t start = log.openLogFile({"/v:h"}).startOffset;
        append(output);
        QCOMPARE(log.recentClientOutput(start), excerpt);
    }

    void unusableLocation() {
        QVERIFY(QDir().mkpath(m_dir->path() + "/Logs"));
        QFile blocker(m_dir->path() + "/Logs/Veldra Cloud Desktop"); // a file, not a folder
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const ClientLog log(path());
        QVERIFY(!log.openLogFile({"/v:h"}).handle.isOpen());
        QCOMPARE(log.recentClientOutput(0), QString());
    }
};

QTEST_APPLESS_MAIN(TestClientLog)
#include "tst_clientlog.moc"
