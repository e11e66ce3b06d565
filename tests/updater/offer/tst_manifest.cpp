// The rules an update is judged by: version order, size, entries, the URL rule.
#include "Rows.h"
#include "updater/offer/MacUpdateManifest.h"
#include "updater/offer/Offer.h"
#include "updater/offer/Version.h"

#include <QTest>

using namespace veldra;
using namespace veldra::test;
using platform::RunningCopy;

Q_DECLARE_METATYPE(veldra::platform::RunningCopy)

namespace {

const UpdateServer kServer{"updates.veldra.example", 443};

// JSON written with single quotes; U/ is the update host's address, 'A' and 'B' 64 a's or b's.
QByteArray json(QByteArray text) {
    text.replace("'A'", "'" + QByteArray(64, 'a') + "'")
        .replace("'B'", "'" + QByteArray(64, 'b') + "'");
    return text.replace('\'', '"').replace("U/", "https://updates.veldra.example/");
}

} // namespace

class TestManifest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // (Texts that do not parse: fuzz_version, from its seeds.)
    void versionOrder_data() {
        columns<QString, QString, bool, bool>("candidate", "reference", "newer", "same");
        row("2.10 vs 2.9", "2.10", "2.9", true, false);
        row("2.0.0 vs 1.9.9", "2.0.0", "1.9.9", true, false); // the first difference decides
        row("1.9.9 vs 2.0.0", "1.9.9", "2.0.0", false, false);
        row("1.2.1 vs 1.2", "1.2.1", "1.2", true, false);
        row("1.2.0 vs 1.2", "1.2.0", "1.2", false, false); // trailing zeros: neither is newer
        row("1.2 vs 1.2.0", "1.2", "1.2.0", false, false);
        row("1.2 vs 1.2", "1.2", "1.2", false, true);
        row("01.2 vs 1.2", "01.2", "1.2", false, true);
        row("1.2.3.4 vs 1.2.3", "1.2.3.4", "1.2.3", true, false);
        row("int64 max", "9223372036854775807", "9223372036854775806", true, false);
    }
    void versionOrder() {
        auto [candidate, reference, newer, same] =
            fetch<QString, QString, bool, bool>("candidate", "reference", "newer", "same");
        QCOMPARE(isNewerVersion(candidate, reference), newer);
        QCOMPARE(isSameVersion(candidate, reference), same);
    }

    void size_data() {
        columns<qint64, bool>("size", "ok");
        row("unknown", qint64(-1), false);
        row("empty", qint64(0), false);
        row("one byte", qint64(1), true);
        row("256 KiB", qint64(262'144), true);
        row("one byte more", qint64(262'145), false);
    }
    void size() {
        auto [size, ok] = fetch<qint64, bool>("size", "ok");
        QCOMPARE(isAcceptableManifestSize(size), ok);
    }

    // Each build its own image, a translated copy arm64's; snake case first, even empty.
    void evaluation_data() {
        // location: its file name starts with the architecture's
        columns<QByteArray, RunningCopy, QString, QString>("text", "copy", "message", "location");
        const QByteArray both =
            json("{'version':'3','mac_x64_url':'U/x86_64.dmg','mac_x64_sha256':'A',"
                 "'mac_arm64_url':'U/arm64.dmg','mac_arm64_sha256':'B','mac_dmg_url':'U/any.dmg'}");
        const QByteArray intel =
            json("{'version':'3','mac_dmg_url':'U/x86_64-any.dmg','mac_x64_sha256':'A'}");
        const QByteArray arm =
            json("{'version':'3','mac_arm64_url':'U/arm64.dmg','macArm64Url':'U/x.dmg',"
                 "'mac_arm64_sha256':'B'}");
        const QByteArray emptyArm =
            json("{'version':'3','mac_arm64_url':'','macArm64Url':'U/arm64.dmg',"
                 "'mac_arm64_sha256':'B'}");
        const auto digest = [](const QByteArray& text) {
            return json("{'version':'3','mac_x64_url':'U/x86_64.dmg','mac_x64_sha256':'" + text +
                        "'}");
        };
        const QString available = "Update available", location = "Invalid update location";
        const QString signature = "Invalid update signature";
        const QString u = "https://updates.veldra.example/";
        const auto x64 = RunningCopy::x86_64, arm64 = RunningCopy::arm64;
        const auto translated = RunningCopy::translated;
        row("Intel", both, x64, available, u + "x86_64.dmg");
        row("Apple silicon", both, arm64, available, u + "arm64.dmg");
        row("translated", both, translated, available, u + "arm64.dmg");
        row("Intel only, translated", intel, translated, available, u + "x86_64-any.dmg");
        row("Intel only, Apple silicon", intel, arm64, location, "");
        row("arm64 only, Apple silicon", arm, arm64, available, u + "arm64.dmg");
        row("arm64 only, Intel", arm, x64, location, "");
        row("an empty arm64 location wins", emptyArm, arm64, location, "");
        row("not newer", json("{'version':'1.0','mac_x64_url':'http://x'}"), x64, "Up to date", "");
        row("upper-case digest", digest(QByteArray(64, 'A')), x64, available, u + "x86_64.dmg");
        row("63 digits", digest(QByteArray(63, 'a')), x64, signature, "");
        row("a letter beyond f", digest(QByteArray(63, 'a') + 'g'), x64, signature, "");
        row("no digest", json("{'version':'3','mac_x64_url':'U/x86_64.dmg'}"), x64, signature, "");
    }
    void evaluation() {
        auto [text, copy, message, location] =
            fetch<QByteArray, RunningCopy, QString, QString>("text", "copy", "message", "location");
        const auto manifest = MacUpdateManifest::decode(text);
        QVERIFY(manifest);
        const ManifestVerdict verdict = evaluateManifest(*manifest, "2", kServer, copy);
        QCOMPARE(verdict.message(), message);
        QCOMPARE(verdict.location, location);
        if (!location.isEmpty()) {
            const bool arm = verdict.architecture == platform::Architecture::arm64;
            QVERIFY(location.section('/', -1).startsWith(arm ? "arm64" : "x86_64"));
            QCOMPARE(verdict.digest, QString(64, arm ? 'b' : 'a'));
        }
    }

    // Offered only to a macOS it runs on; not a Mac: no minimum.
    void minimumSystem_data() {
        columns<QString, QString, QString>("minimum", "system", "message");
        row("exactly", "13.0", "13.0.0", "Update available");
        row("unreadable", "thirteen", "14.0", "Invalid update response");
        row("not a Mac", "99.0", "", "Update available");
    }
    void minimumSystem() {
        auto [minimum, system, message] =
            fetch<QString, QString, QString>("minimum", "system", "message");
        const QByteArray text = "{'version':'3','mac_x64_url':'U/a.dmg','mac_x64_sha256':'A',"
                                "'mac_minimum_system_version':'" +
                                minimum.toUtf8() + "'}";
        const auto manifest = MacUpdateManifest::decode(json(text));
        QVERIFY(manifest);
        QCOMPARE(evaluateManifest(*manifest, "2", kServer, RunningCopy::x86_64, system).message(),
                 message);
    }

    // (Refused, and in fuzz_url's seeds: http, another port, a sub-domain, a trailing dot.)
    void urlRule_data() {
        // port: the build's update port
        columns<QString, int, bool>("text", "port", "allowed");
        row("plain", "https://updates.veldra.example/version.json", 443, true);
        row("host upper case", "https://UPDATES.Veldra.Example/a.dmg", 443, true);
        row("443 named", "https://updates.veldra.example:443/a.dmg", 443, true);
        row("at sign in the path", "https://updates.veldra.example/a@b.dmg", 443, true);
        row("the build's port", "https://updates.veldra.example:8443/a", 8443, true);
        row("no port means 443", "https://updates.veldra.example/a", 8443, false);
        row("no scheme", "updates.veldra.example/a.dmg", 443, false);
        row("suffix", "https://updates.veldra.example.evil.example/a", 443, false);
        row("user", "https://user@updates.veldra.example/a.dmg", 443, false);
        row("empty user info", "https://@updates.veldra.example/a.dmg", 443, false);
        row("password only", "https://:pw@updates.veldra.example/a", 443, false);
        row("no host", "https:///a.dmg", 443, false);
    }
    void urlRule() {
        auto [text, port, allowed] = fetch<QString, int, bool>("text", "port", "allowed");
        QCOMPARE(makeUpdateURL(text, {kServer.host, port}).has_value(), allowed);
    }

    // Beta copies take the newer entry, a bad one ignored alone; below "critical_below" a
    // copy must update, a floor that is no version or above the offer means nothing.
    void channelsAndFloors_data() {
        // beta: its version, "bad": an http URL; offered: empty: nothing
        columns<QString, QString, QString, QString, QString, bool>("current", "channel", "beta",
                                                                   "floor", "offered", "required");
        row("stable copy", "2.0", "", "2.2", "", "2.1", false);
        row("beta copy", "2.0", "beta", "2.2", "", "2.2", false);
        row("beta behind", "2.0", "beta", "2.0.5", "", "2.1", false);
        row("bad beta entry", "2.0", "beta", "bad", "", "2.1", false);
        row("left the beta", "2.2", "", "2.3", "", "", false);
        row("below the floor", "2.0", "", "2.2", "2.0.5", "2.1", true);
        row("at the floor", "2.0.5", "", "2.2", "2.0.5", "2.1", false);
        row("floor no version", "2.0", "", "2.2", "soon", "2.1", false);
        row("floor above the offer", "2.0", "", "2.2", "2.2", "2.1", false);
    }
    void channelsAndFloors() {
        auto [current, channel, beta, floor, offered, required] =
            fetch<QString, QString, QString, QString, QString, bool>(
                "current", "channel", "beta", "floor", "offered", "required");
        const QByteArray entry =
            "{'version':'" + (beta == "bad" ? "2.2" : beta.toUtf8()) + "','mac_x64_url':'" +
            (beta == "bad" ? "http://x/b.dmg" : "U/b.dmg") + "','mac_x64_sha256':'A'}";
        const QByteArray text =
            json("{'version':'2.1','mac_x64_url':'U/a.dmg','mac_x64_sha256':'A'," +
                 (floor.isEmpty() ? "" : "'critical_below':'" + floor.toUtf8() + "',") +
                 "'channels':{'beta':" + entry + "}}");
        const CheckResult result =
            judgeManifest(text, current, kServer, RunningCopy::x86_64, QString(), channel);
        QCOMPARE(result.kind == CheckResult::Kind::available ? result.version : QString(), offered);
        QCOMPARE(result.required, required);
    }
};

QTEST_APPLESS_MAIN(TestManifest)
#include "tst_manifest.moc"
