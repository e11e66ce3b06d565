#include "launcher/ClientLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace veldra;

namespace {

int modeOf(const QString& path) {
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0
               ? static_cast<int>(info.st_mode & 0777)
               : -1;
}

void append(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestClientLog : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString logPath() const { return clientLogPath(m_dir.path() + "/Library"); }

private Q_SLOTS:
    void init() { QDir(m_dir.path() + "/Library").removeRecursively(); }

    void pathUnderLibrary() {
        QCOMPARE(clientLogPath("/home/u/Library"),
                 "/home/u/Library/Logs/Veldra Cloud Desktop/freerdp.log");
    }

    void createsFoldersAndPrivateFile() {
        ::umask(022);
        const ClientLog log(logPath());
        OpenedLog opened = log.openLogFile({"/v:h", "/u:alice"});
        QVERIFY(opened.handle.isOpen());
        QCOMPARE(opened.startOffset, 0u);
        QVERIFY(QFileInfo(logPath()).isFile());
        QCOMPARE(modeOf(logPath()), 0600);
    }

    void existingFileKeepsMode() {
        const ClientLog log(logPath());
        log.openLogFile({});
        ::chmod(QFile::encodeName(logPath()).constData(), 0640);
        const qint64 before = QFileInfo(logPath()).size();
        OpenedLog opened = log.openLogFile({});
        QCOMPARE(opened.startOffset, static_cast<std::uint64_t>(before));
        QCOMPARE(modeOf(logPath()), 0640);
    }

    void sizeCap_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly 2 MiB stays") << qint64(2097152) << true;
        QTest::newRow("one byte more is deleted") << qint64(2097153) << false;
    }
    void sizeCap() {
        QFETCH(qint64, size);
        QFETCH(bool, kept);
        QDir().mkpath(QFileInfo(logPath()).absolutePath());
        {
            QFile file(logPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        ::chmod(QFile::encodeName(logPath()).constData(), 0644);
        const ClientLog log(logPath());
        OpenedLog opened = log.openLogFile({"/v:h"});
        QCOMPARE(opened.startOffset, kept ? static_cast<std::uint64_t>(size) : 0u);
        QCOMPARE(modeOf(logPath()), kept ? 0644 : 0600);
    }

    void startLine() {
        const ClientLog log(logPath());
        const QDateTime when(QDate(2026, 12, 5), QTime(20, 48, 24, 512), Qt::UTC);
        OpenedLog opened = log.openLogFile(
            {"/v:rdp.example", "/u:alice", "/t:Veldra Cloud Desktop", "/d:VELDRA"}, when);
        opened.handle.close();
        QFile file(logPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(
            file.readAll(),
            QByteArray("\n[2026-12-05T20:48:24Z] Starting FreeRDP: /v:rdp.example /u:<redacted> "
                       "/t:Veldra Cloud Desktop /d:<redacted>\n"));
    }

    void unusableLocation() {
        // A file where the folder should be: logging is impossible, nothing throws.
        QDir().mkpath(m_dir.path() + "/Library/Logs");
        {
            QFile blocker(m_dir.path() + "/Library/Logs/Veldra Cloud Desktop");
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        const ClientLog log(logPath());
        OpenedLog opened = log.openLogFile({"/v:h"});
        QVERIFY(!opened.handle.isOpen());
        QCOMPARE(opened.startOffset, 0u);
        QCOMPARE(log.recentClientOutput(0), QString());
        QFile::remove(m_dir.path() + "/Library/Logs/Veldra Cloud Desktop");
    }

    void excerpt_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("excerpt");
        QTest::newRow("bracketed, plain, empty")
            << QByteArray("[INFO] x\nplain one\n\n") << "plain one";
        QTest::newRow("last three of five") << QByteArray("a\nb\nc\nd\ne\n") << "c d e";
        QTest::newRow("trimmed, CR and unicode separators")
            << QByteArray("  first \r second\xe2\x80\xa8third\xc2\x85 fourth \t\n")
            << "second third fourth";
        QTest::newRow("invalid UTF-8") << QByteArray("fine\n\xff\xfe\n") << "";
        QTest::newRow("nothing") << QByteArray() << "";
        QTest::newRow("only bracketed") << QByteArray("[a]\n [b]\n") << "";
        QTest::newRow("cut to 420 characters") << QByteArray(500, 'x') << QString(420, 'x');
        QTest::newRow("cut counts characters, not bytes")
            << QByteArray("é").repeated(430) << QString::fromUtf8("é").repeated(420);
    }
    void excerpt() {
        QFETCH(QByteArray, output);
        QFETCH(QString, excerpt);
        const ClientLog log(logPath());
        QDir().mkpath(QFileInfo(logPath()).absolutePath());
        append(logPath(), "earlier launch's plain line\n");
        OpenedLog opened = log.openLogFile({"/v:h"});
        opened.handle.close();
        append(logPath(), output);
        QCOMPARE(log.recentClientOutput(opened.startOffset), excerpt);
    }

    void excerptWindowStartingInsideACharacter() {
        const ClientLog log(logPath());
        OpenedLog opened = log.openLogFile({"/v:h"});
        opened.handle.close();
        // The 16 KiB window begins on the second byte of "é": the stray byte
        // must not make the whole excerpt unreadable.
        QByteArray body = "\n";
        while (body.size() + 3 <= 16371)
            body += "ab\n";
        body += QByteArray(16371 - body.size(), 'q');
        const QByteArray output =
            "old line\n" + QByteArray(3000, 'y') + "é" + body + "\nlast words\n";
        append(logPath(), output);
        QCOMPARE(log.recentClientOutput(opened.startOffset), "ab qq last words");
    }

    void deletedLog() {
        const ClientLog log(logPath());
        OpenedLog opened = log.openLogFile({"/v:h"});
        append(logPath(), "something\n");
        QFile::remove(logPath());
        QCOMPARE(log.recentClientOutput(opened.startOffset), QString());
    }
};

QTEST_APPLESS_MAIN(TestClientLog)
#include "tst_clientlog.moc"
