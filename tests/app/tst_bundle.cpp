// What macOS reads from the bundle: the usage sentence it shows before the
// client may use the microphone, the audio-input entitlement the hardened
// runtime asks for, and the icon Info.plist names.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <plist/plist.h>

#include <memory>
#include <vector>

class TestBundleContents : public QObject {
    Q_OBJECT

    static plist_t value(const char* path, const char* key) {
        QFile file(path);
        plist_t root = nullptr;
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray xml = file.readAll();
            plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
        }
        static std::vector<std::unique_ptr<void, decltype(&plist_free)>> kept;
        kept.emplace_back(root, &plist_free);
        return root ? plist_dict_get_item(root, key) : nullptr;
    }

private Q_SLOTS:
    void microphone() {
        plist_t usage = value(BUNDLE_DIR "/Contents/Info.plist", "NSMicrophoneUsageDescription");
        uint64_t length = 0;
        QVERIFY(usage && plist_get_string_ptr(usage, &length) && length > 20);
        plist_t entitled = value(ENTITLEMENTS, "com.apple.security.device.audio-input");
        uint8_t on = 0;
        QVERIFY(entitled && plist_get_node_type(entitled) == PLIST_BOOLEAN);
        plist_get_bool_val(entitled, &on);
        QVERIFY(on);
    }
    void icon() {
        plist_t name = value(BUNDLE_DIR "/Contents/Info.plist", "CFBundleIconFile");
        uint64_t length = 0;
        const char* text = name ? plist_get_string_ptr(name, &length) : nullptr;
        QVERIFY(text);
        const QString icon = QStringLiteral(BUNDLE_DIR "/Contents/Resources/") +
                             QString::fromUtf8(text, static_cast<qsizetype>(length));
        // An independent reader of Apple icon files unpacks the 1024 px image
        // ('ic10'): the system's own on a Mac, Debian's icnsutils elsewhere.
        QTemporaryDir out;
#ifdef Q_OS_MACOS
        const QString set = out.filePath("icon.iconset");
        QCOMPARE(QProcess::execute("/usr/bin/iconutil", {"-c", "iconset", "-o", set, icon}), 0);
        const QImage image(set + "/icon_512x512@2x.png");
#else
        QProcess reader;
        reader.start("icns2png", {"-l", icon});
        QVERIFY(reader.waitForFinished());
        QCOMPARE(reader.exitCode(), 0);
        QVERIFY(reader.readAllStandardOutput().contains("'ic10' 1024x1024 32-bit icon"));
        QCOMPARE(QProcess::execute("icns2png", {"-x", "-s", "1024", "-o", out.path(), icon}), 0);
        const QImage image(
            QDir(out.path()).filePath(QDir(out.path()).entryList({"*.png"}).value(0)));
#endif
        // On the macOS grid: a body of 824 px centred, transparent around it.
        QCOMPARE(image.size(), QSize(1024, 1024));
        for (const QPoint& outside : {QPoint(90, 512), QPoint(512, 934), QPoint(120, 120)})
            QCOMPARE(qAlpha(image.pixel(outside)), 0);
        for (const QPoint& inside : {QPoint(110, 512), QPoint(512, 914), QPoint(512, 512)})
            QCOMPARE(qAlpha(image.pixel(inside)), 255);
    }
};

QTEST_APPLESS_MAIN(TestBundleContents)
#include "tst_bundle.moc"
