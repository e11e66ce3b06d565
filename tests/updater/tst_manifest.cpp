#include "tst_manifest.h"
#include "updater/MacUpdateManifest.h"

#include <QTest>

using namespace veldra;
using Outcome = ManifestVerdict::Outcome;

namespace {

const UpdateServer kServer{"updates.veldra.example", 443};
const QString kDigest = QString(64, 'a');
const QString kUrl = "https://updates.veldra.example/VeldraCloudDesktop-3.0.dmg";

} // namespace

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(veldra::platform::RunningCopy)

void TestManifest::decoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::newRow("empty object") << QByteArray("{}") << true;
    QTest::newRow("strings and null")
        << QByteArray(R"({"mac_version":"1","macVersion":null})") << true;
    QTest::newRow("unknown keys of any type")
        << QByteArray(R"({"x":1,"y":[true],"z":{"a":null}})") << true;
    QTest::newRow("known key as number") << QByteArray(R"({"mac_version":3.0})") << false;
    QTest::newRow("known key as array") << QByteArray(R"({"mac_x64_url":["a"]})") << false;
    QTest::newRow("top-level array") << QByteArray("[]") << false;
    QTest::newRow("truncated") << QByteArray(R"({"mac_version":"3)") << false;
    QTest::newRow("empty") << QByteArray() << false;
}
void TestManifest::decoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    QCOMPARE(MacUpdateManifest::decode(json).has_value(), decodes);
}

// Each row: manifest JSON, running version → outcome, message and the kept
// version, location and digest.
void TestManifest::evaluation_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("current");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("kept");
    const QByteArray url = kUrl.toUtf8();
    const QByteArray digest = kDigest.toUtf8();
    const auto j = [](const QByteArray& body) { return "{" + body + "}"; };
    const auto x64 = [&](const QByteArray& version, const QByteArray& sha) {
        return j(R"("version":")" + version + R"(","mac_x64_url":")" + url +
                 R"(","mac_x64_sha256":")" + sha + "\"");
    };
    const QStringList none;

    QTest::newRow("typical") << j(R"("mac_version":"3.0","mac_x64_url":")" + url +
                                  R"(","mac_x64_sha256":")" + digest + R"(","releaseNotes":"x")")
                             << "2.9" << Outcome::updateAvailable
                             << QStringList{"3.0", kUrl, kDigest};
    QTest::newRow("snake version beats camel")
        << j(R"("mac_version":"3.0","macVersion":"9.0","mac_x64_url":")" + url +
             R"(","mac_x64_sha256":")" + digest + "\"")
        << "1.0" << Outcome::updateAvailable << QStringList{"3.0", kUrl, kDigest};
    QTest::newRow("empty snake version wins and fails")
        << j(R"("mac_version":"","macVersion":"3.0")") << "1.0" << Outcome::invalidResponse << none;
    QTest::newRow("null counts as absent")
        << j(R"("mac_version":null,"macVersion":"3.0","mac_x64_url":")" + url +
             R"(","macX64Sha256":")" + digest + "\"")
        << "1.0" << Outcome::updateAvailable << QStringList{"3.0", kUrl, kDigest};
    QTest::newRow("no version at all") << j("") << "1.0" << Outcome::invalidResponse << none;
    QTest::newRow("generic image with x64 digest")
        << j(R"("version":"2.0","mac_dmg_url":")" + url + R"(","mac_x64_sha256":")" + digest + "\"")
        << "1.0" << Outcome::updateAvailable << QStringList{"2.0", kUrl, kDigest};
    QTest::newRow("x64 location beats generic")
        << j(R"("version":"2.0","macDmgUrl":"https://elsewhere.example/a.dmg","macX64Url":")" +
             url + R"(","mac_x64_sha256":")" + digest + "\"")
        << "1.0" << Outcome::updateAvailable << QStringList{"2.0", kUrl, kDigest};
    QTest::newRow("empty snake location wins and fails")
        << j(R"("version":"2.0","mac_x64_url":"","macX64Url":")" + url + R"(","mac_x64_sha256":")" +
             digest + "\"")
        << "1.0" << Outcome::invalidLocation << none;
    QTest::newRow("not newer ignores bad location and digest")
        << j(R"("version":"1.0.0","mac_x64_url":"http://x","mac_x64_sha256":"zz")") << "1.0"
        << Outcome::upToDate << none;
    QTest::newRow("unreadable running version")
        << j(R"("version":"9.0")") << "" << Outcome::upToDate << none;
    QTest::newRow("upper-case digest kept lower")
        << x64("2", digest.toUpper()) << "1" << Outcome::updateAvailable
        << QStringList{"2", kUrl, kDigest};
    QTest::newRow("digest 63") << x64("2", digest.left(63)) << "1" << Outcome::invalidSignature
                               << none;
    QTest::newRow("digest letter beyond f")
        << x64("2", digest.left(63) + "g") << "1" << Outcome::invalidSignature << none;
    QTest::newRow("digest missing") << j(R"("version":"2","mac_x64_url":")" + url + "\"") << "1"
                                    << Outcome::invalidSignature << none;
    QTest::newRow("full-width digest refused at once")
        << x64("2", QString::fromUtf8("０").repeated(64).toUtf8()) << "1"
        << Outcome::invalidSignature << none;
    QTest::newRow("version kept as written")
        << x64("02.4", digest) << "1" << Outcome::updateAvailable
        << QStringList{"02.4", kUrl, kDigest};
}
void TestManifest::evaluation() {
    QFETCH(QByteArray, json);
    QFETCH(QString, current);
    QFETCH(Outcome, outcome);
    QFETCH(QStringList, kept);
    const auto manifest = MacUpdateManifest::decode(json);
    QVERIFY(manifest);
    const ManifestVerdict verdict = evaluateManifest(*manifest, current, kServer);
    QCOMPARE(verdict.outcome, outcome);
    const QStringList actual{verdict.version, verdict.location, verdict.digest};
    const QStringList expected = kept.isEmpty() ? QStringList{"", "", ""} : kept;
    QCOMPARE(actual, expected);
}

// Each build takes its own image: arm64 never the Intel or generic entries,
// x86-64 never the arm64 ones; snake case first; an empty text wins and fails.
// A translated Intel copy takes the arm64 image whenever one is named.
void TestManifest::architectureChoice_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<platform::RunningCopy>("copy");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("lipoName");
    const QByteArray x64 = "https://updates.veldra.example/x64.dmg";
    const QByteArray arm = "https://updates.veldra.example/arm64.dmg";
    const QByteArray generic = "https://updates.veldra.example/any.dmg";
    const QByteArray a = QByteArray(64, 'a'), b = QByteArray(64, 'b');
    const QByteArray both = R"({"version":"3","mac_x64_url":")" + x64 + R"(","mac_x64_sha256":")" +
                            a + R"(","mac_arm64_url":")" + arm + R"(","mac_arm64_sha256":")" + b +
                            R"(","mac_dmg_url":")" + generic + "\"}";
    const QByteArray intelOnly =
        R"({"version":"3","mac_dmg_url":")" + generic + R"(","mac_x64_sha256":")" + a + "\"}";
    using platform::RunningCopy;
    QTest::newRow("both: Intel") << both << RunningCopy::x86_64 << "Update available"
                                 << QString(x64) << "x86_64";
    QTest::newRow("both: Apple silicon")
        << both << RunningCopy::arm64 << "Update available" << QString(arm) << "arm64";
    QTest::newRow("both: translated Intel copy moves to arm64")
        << both << RunningCopy::translated << "Update available" << QString(arm) << "arm64";
    QTest::newRow("Intel only: translated copy stays Intel")
        << intelOnly << RunningCopy::translated << "Update available" << QString(generic)
        << "x86_64";
    QTest::newRow("arm64 snake case over camel case")
        << QByteArray(R"({"version":"3","macArm64Url":"https://updates.veldra.example/c.dmg",)"
                      R"("mac_arm64_url":")" +
                      arm + R"(","macArm64Sha256":")" + a + R"(","mac_arm64_sha256":")" + b + "\"}")
        << RunningCopy::arm64 << "Update available" << QString(arm) << "arm64";
    const QByteArray emptyArm64 = R"({"version":"3","mac_arm64_url":"","macArm64Url":")" + arm +
                                  R"(","mac_arm64_sha256":")" + b + R"(","mac_x64_url":")" + x64 +
                                  R"(","mac_x64_sha256":")" + a + "\"}";
    QTest::newRow("empty arm64 location wins and fails")
        << emptyArm64 << RunningCopy::arm64 << "Invalid update location" << QString() << "";
    QTest::newRow("translated: empty arm64 location is still a choice")
        << emptyArm64 << RunningCopy::translated << "Invalid update location" << QString() << "";
    QTest::newRow("generic image is Intel's: not for arm64")
        << intelOnly << RunningCopy::arm64 << "Invalid update location" << QString() << "";
    QTest::newRow("arm64 only: not for Intel")
        << QByteArray(R"({"version":"3","mac_arm64_url":")" + arm + R"(","mac_arm64_sha256":")" +
                      b + "\"}")
        << RunningCopy::x86_64 << "Invalid update location" << QString() << "";
}
void TestManifest::architectureChoice() {
    QFETCH(QByteArray, json);
    QFETCH(platform::RunningCopy, copy);
    QFETCH(QString, message);
    QFETCH(QString, location);
    QFETCH(QString, lipoName);
    const auto manifest = MacUpdateManifest::decode(json);
    QVERIFY(manifest);
    const ManifestVerdict verdict = evaluateManifest(*manifest, "2", kServer, copy);
    QCOMPARE(verdict.message(), message);
    QCOMPARE(verdict.location, location);
    if (!lipoName.isEmpty())
        QCOMPARE(QString::fromLatin1(platform::lipoArchitectureName(verdict.architecture)),
                 lipoName);
}

// A newer version is offered only to a macOS it runs on; trailing zeros are
// equal, snake case first, and where there is no macOS no minimum applies.
void TestManifest::minimumSystem_data() {
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QString>("system");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("message");
    const QString needs13 = "Version 3.0 needs macOS 13.0 or later.";
    QTest::newRow("older system") << QByteArray(R"("mac_minimum_system_version":"13.0")")
                                  << "12.7.4" << Outcome::needsNewerSystem << needs13;
    QTest::newRow("exactly the minimum") << QByteArray(R"("mac_minimum_system_version":"13.0")")
                                         << "13.0.0" << Outcome::updateAvailable << "";
    QTest::newRow("newer major") << QByteArray(R"("mac_minimum_system_version":"12")") << "14.6.1"
                                 << Outcome::updateAvailable << "";
    QTest::newRow("camel case") << QByteArray(R"("macMinimumSystemVersion":"13.0")") << "12.7"
                                << Outcome::needsNewerSystem << needs13;
    QTest::newRow("snake beats camel")
        << QByteArray(R"("mac_minimum_system_version":"12","macMinimumSystemVersion":"99")")
        << "13.1" << Outcome::updateAvailable << "";
    QTest::newRow("unreadable minimum")
        << QByteArray(R"("mac_minimum_system_version":"thirteen")") << "14.0"
        << Outcome::invalidResponse << "Invalid update response";
    QTest::newRow("not a Mac") << QByteArray(R"("mac_minimum_system_version":"99.0")") << ""
                               << Outcome::updateAvailable << "";
}
void TestManifest::minimumSystem() {
    QFETCH(QByteArray, keys);
    QFETCH(QString, system);
    QFETCH(Outcome, outcome);
    QFETCH(QString, message);
    const auto manifest = MacUpdateManifest::decode(R"({"mac_version":"3.0","mac_x64_url":")" +
                                                    kUrl.toUtf8() + R"(","mac_x64_sha256":")" +
                                                    kDigest.toUtf8() + R"(",)" + keys + "}");
    QVERIFY(manifest);
    const ManifestVerdict verdict =
        evaluateManifest(*manifest, "2.0", kServer, platform::RunningCopy::x86_64, system);
    QCOMPARE(verdict.outcome, outcome);
    if (outcome != Outcome::updateAvailable)
        QCOMPARE(verdict.message(), message);
}

void TestManifest::size_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("ok");
    QTest::newRow("unknown") << qint64(-1) << false;
    QTest::newRow("empty") << qint64(0) << false;
    QTest::newRow("one byte") << qint64(1) << true;
    QTest::newRow("exactly 256 KiB") << qint64(262144) << true;
    QTest::newRow("one byte more") << qint64(262145) << false;
}
void TestManifest::size() {
    QFETCH(qint64, size);
    QFETCH(bool, ok);
    QCOMPARE(isAcceptableManifestSize(size), ok);
}

void TestManifest::urlRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("plain") << "https://updates.veldra.example/version.json" << true;
    QTest::newRow("host upper case") << "https://UPDATES.Veldra.Example/a.dmg" << true;
    QTest::newRow("explicit 443") << "https://updates.veldra.example:443/a.dmg" << true;
    QTest::newRow("query and fragment ignored") << "https://updates.veldra.example/a?x=1#y" << true;
    QTest::newRow("other port") << "https://updates.veldra.example:8443/a.dmg" << false;
    QTest::newRow("http") << "http://updates.veldra.example/a.dmg" << false;
    QTest::newRow("no scheme") << "updates.veldra.example/a.dmg" << false;
    QTest::newRow("sub-domain") << "https://cdn.updates.veldra.example/a.dmg" << false;
    QTest::newRow("suffix trick") << "https://updates.veldra.example.evil.example/a.dmg" << false;
    QTest::newRow("trailing dot") << "https://updates.veldra.example./a.dmg" << false;
    QTest::newRow("user") << "https://user@updates.veldra.example/a.dmg" << false;
    QTest::newRow("empty user info") << "https://@updates.veldra.example/a.dmg" << false;
    QTest::newRow("password only") << "https://:pw@updates.veldra.example/a.dmg" << false;
    QTest::newRow("at sign in path is fine") << "https://updates.veldra.example/a@b.dmg" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("spaces do not parse") << "https://updates.veldra.example/a b.dmg" << false;
    QTest::newRow("no host") << "https:///a.dmg" << false;
}
void TestManifest::urlRule() {
    QFETCH(QString, text);
    QFETCH(bool, allowed);
    QCOMPARE(makeUpdateURL(text, kServer).has_value(), allowed);
}

void TestManifest::configuredPort() {
    const UpdateServer test{"localhost", 8443};
    QVERIFY(makeUpdateURL("https://localhost:8443/x", test));
    QVERIFY(!makeUpdateURL("https://localhost/x", test)); // no port means 443
    QVERIFY(!makeUpdateURL("https://localhost:443/x", test));
}

QTEST_APPLESS_MAIN(TestManifest)
