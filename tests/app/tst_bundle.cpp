// What macOS reads from the bundle: the usage sentence it shows before the
// client may use the microphone, the audio-input entitlement the hardened
// runtime asks for, and the icon Info.plist names.
#include <QFile>
#include <QProcess>
#include <QTest>

#include <plist/plist.h>

#include <memory>

namespace {

using Plist = std::unique_ptr<void, decltype(&plist_free)>;

Plist read(const QString& path) {
    QFile file(path);
    plist_t root = nullptr;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray xml = file.readAll();
        plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    }
    return Plist(root, &plist_free);
}

} // namespace

class TestBundleContents : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void microphoneUsageDescribed() {
        const Plist info = read(BUNDLE_DIR "/Contents/Info.plist");
        QVERIFY(info);
        plist_t node = plist_dict_get_item(info.get(), "NSMicrophoneUsageDescription");
        QVERIFY(node && plist_get_node_type(node) == PLIST_STRING);
        uint64_t length = 0;
        QVERIFY(plist_get_string_ptr(node, &length) && length > 20);
    }
    void iconNamedAndPresent() {
        const Plist info = read(BUNDLE_DIR "/Contents/Info.plist");
        QVERIFY(info);
        plist_t node = plist_dict_get_item(info.get(), "CFBundleIconFile");
        QVERIFY(node && plist_get_node_type(node) == PLIST_STRING);
        uint64_t length = 0;
        const char* name = plist_get_string_ptr(node, &length);
        const QString icon = QStringLiteral(BUNDLE_DIR "/Contents/Resources/") +
                             QString::fromUtf8(name, static_cast<qsizetype>(length));
        QVERIFY2(QFile::exists(icon), qPrintable(icon));
        // An independent reader of Apple icon files finds the largest image.
        QProcess reader;
        reader.start(QStringLiteral("icns2png"), {QStringLiteral("-l"), icon});
        QVERIFY(reader.waitForFinished());
        QCOMPARE(reader.exitCode(), 0);
        QVERIFY(reader.readAllStandardOutput().contains("'ic10' 1024x1024 32-bit icon"));
    }
    void audioInputEntitled() {
        const Plist entitlements = read(ENTITLEMENTS);
        QVERIFY(entitlements);
        plist_t node =
            plist_dict_get_item(entitlements.get(), "com.apple.security.device.audio-input");
        QVERIFY(node && plist_get_node_type(node) == PLIST_BOOLEAN);
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        QVERIFY(value);
    }
};

QTEST_APPLESS_MAIN(TestBundleContents)
#include "tst_bundle.moc"
