// What macOS reads from the bundle: the microphone's usage sentence and
// entitlement, and the icon Info.plist names.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <plist/plist.h>

class TestBundleContents : public QObject {
    Q_OBJECT

    // A string or Boolean of a property list's top dictionary; invalid if none.
    static QVariant value(const char* path, const char* key) {
        QFile file(path);
        const QByteArray xml = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        plist_t root = nullptr;
        plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
        const plist_t item = root ? plist_dict_get_item(root, key) : nullptr;
        const plist_type type = item ? plist_get_node_type(item) : PLIST_NONE;
        uint8_t on = 0;
        if (type == PLIST_BOOLEAN)
            plist_get_bool_val(item, &on);
        const QVariant result =
            type == PLIST_STRING ? QVariant(QString::fromUtf8(plist_get_string_ptr(item, nullptr)))
            : type == PLIST_BOOLEAN ? QVariant(on != 0)
                                    : QVariant();
        plist_free(root);
        return result;
    }

private Q_SLOTS:
    void microphone() {
        const QVariant usage =
            value(BUNDLE_DIR "/Contents/Info.plist", "NSMicrophoneUsageDescription");
        QVERIFY(usage.toString().size() > 20);
        // Asked before a connection to the local network (macOS 15 and later).
        QVERIFY(value(BUNDLE_DIR "/Contents/Info.plist", "NSLocalNetworkUsageDescription")
                    .toString()
                    .size() > 20);
        QCOMPARE(value(ENTITLEMENTS, "com.apple.security.device.audio-input"), QVariant(true));
    }
    void icon() {
        const QString icon =
            QStringLiteral(BUNDLE_DIR "/Contents/Resources/") +
            value(BUNDLE_DIR "/Contents/Info.plist", "CFBundleIconFile").toString();
        // The 1024 px image, unpacked by an independent reader of Apple icon
        // files: the system's own on a Mac, Debian's icnsutils elsewhere.
        QTemporaryDir out;
#ifdef Q_OS_MACOS
        const QString set = out.filePath("icon.iconset");
        QCOMPARE(QProcess::execute("/usr/bin/iconutil", {"-c", "iconset", "-o", set, icon}), 0);
        const QImage image(set + "/icon_512x512@2x.png");
#else
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
