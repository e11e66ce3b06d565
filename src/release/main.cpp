// veldra-release: writes an update manifest that installed copies will accept,
// renews its expiry, and checks what copies would make of the published one.
// See kUsage.
#include "release/Release.h"
#include "updater/offer/UpdateURL.h"
#include "updater/patches/BundlePatch.h"
#include "veldra/BuildConstants.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <cstdio>

using namespace veldra;

namespace {

const char* const kUsage =
    "usage: veldra-release manifest (IMAGE --url URL [--arm64-image IMAGE --arm64-url URL]\n"
    "                                | --arm64-image IMAGE --arm64-url URL\n"
    "                                | --universal IMAGE --url URL)\n"
    "                               --version V [--notes TEXT | --release-notes FILE]\n"
    "                               [--output FILE] [--expires-in DAYS] [--unsigned]\n"
    "                               [--rollout-days N [--rollout-start TIME]]\n"
    "                               [--delta-from VERSION --delta FILE --delta-url URL]...\n"
    "                               [--critical-below VERSION [--critical-reason TEXT]]\n"
    "                               [--channel beta --extend MANIFEST] [--revoke KEYID]...\n"
    "       veldra-release renew MANIFEST [--expires-in DAYS] --output FILE\n"
    "       veldra-release delta --from OLD.app --to NEW.app --output FILE\n"
    "       veldra-release check [MANIFEST-URL] [--current VERSION] [--image]\n"
    "                            [--arch x86_64|arm64|translated] [--channel beta]\n"
    "                            [--public-key FILE]";

int fail(const QString& line) {
    std::fprintf(stderr, "%s\n", qPrintable(line));
    return 1;
}

QList<QSslCertificate> trustedCas() {
    const QByteArray pem(build::kUpdateCaPem);
    return pem.trimmed().isEmpty() ? QList<QSslCertificate>()
                                   : QSslCertificate::fromData(pem, QSsl::Pem);
}

// The keys this build pins, in order; none: it takes unsigned manifests.
QList<MinisignKey> publicKeys() {
    return parseMinisignPublicKeys(QString::fromLatin1(build::kUpdatePublicKey))
        .value_or(QList<MinisignKey>{MinisignKey{}});
}

// Now plus `--expires-in` days; none when that is not 1 or more.
std::optional<QDateTime> expiryFrom(const QCommandLineParser& parser) {
    bool ok = false;
    const int days = parser.value(QStringLiteral("expires-in")).toInt(&ok);
    if (!ok || days < 1)
        return std::nullopt;
    return QDateTime::currentDateTimeUtc().addDays(days);
}

const QCommandLineOption kExpiresIn(QStringLiteral("expires-in"),
                                    QStringLiteral("days until it expires"), QStringLiteral("days"),
                                    QStringLiteral("90"));

int write(const QCommandLineParser& parser, const QByteArray& text) {
    if (!parser.isSet(QStringLiteral("output"))) {
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
        return 0;
    }
    QSaveFile file(parser.value(QStringLiteral("output")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return fail(QStringLiteral("The manifest could not be written: ") + file.errorString());
    return 0;
}

int manifest(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("image"), QStringLiteral("the disk image"));
    parser.addOptions(
        {{QStringLiteral("version"), QStringLiteral("its version"), QStringLiteral("v")},
         {QStringLiteral("url"), QStringLiteral("where it will be"), QStringLiteral("url")},
         {QStringLiteral("arm64-image"), QStringLiteral("the arm64 disk image"),
          QStringLiteral("image")},
         {QStringLiteral("arm64-url"), QStringLiteral("where it will be"), QStringLiteral("url")},
         {QStringLiteral("notes"), QStringLiteral("release notes"), QStringLiteral("text")},
         {QStringLiteral("release-notes"), QStringLiteral("release notes (Markdown, UTF-8)"),
          QStringLiteral("file")},
         {QStringLiteral("output"), QStringLiteral("write here"), QStringLiteral("file")},
         kExpiresIn,
         {QStringLiteral("universal"), QStringLiteral("one image for both kinds of Mac"),
          QStringLiteral("image")},
         {QStringLiteral("unsigned"), QStringLiteral("for copies that pin no key")},
         {QStringLiteral("revoke"), QStringLiteral("copies refuse this key from now on"),
          QStringLiteral("keyid")},
         {QStringLiteral("rollout-days"), QStringLiteral("stage the release over these days"),
          QStringLiteral("days")},
         {QStringLiteral("rollout-start"), QStringLiteral("when the rollout starts (UTC)"),
          QStringLiteral("time")},
         {QStringLiteral("delta-from"), QStringLiteral("a patch's earlier version"),
          QStringLiteral("version")},
         {QStringLiteral("delta"), QStringLiteral("the patch"), QStringLiteral("file")},
         {QStringLiteral("delta-url"), QStringLiteral("where it will be"), QStringLiteral("url")},
         {QStringLiteral("critical-below"), QStringLiteral("copies older than this must update"),
          QStringLiteral("version")},
         {QStringLiteral("critical-reason"), QStringLiteral("why, in one line"),
          QStringLiteral("text")},
         {QStringLiteral("channel"), QStringLiteral("publish on this channel"),
          QStringLiteral("beta")},
         {QStringLiteral("extend"), QStringLiteral("the manifest the channel goes beside"),
          QStringLiteral("file")}});
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    // One universal image fills both kinds of Mac's keys.
    const QString universal = parser.value(QStringLiteral("universal"));
    const QString image = universal.isEmpty() ? parser.positionalArguments().value(0) : universal;
    const QString arm64Image =
        universal.isEmpty() ? parser.value(QStringLiteral("arm64-image")) : universal;
    const QString arm64Url =
        parser.value(universal.isEmpty() ? QStringLiteral("arm64-url") : QStringLiteral("url"));
    // Each image comes with its URL, and at least one image is given.
    if (parser.positionalArguments().size() > (universal.isEmpty() ? 1 : 0) ||
        (!universal.isEmpty() && (parser.isSet(QStringLiteral("arm64-image")) ||
                                  parser.isSet(QStringLiteral("arm64-url")))) ||
        !parser.isSet(QStringLiteral("version")) ||
        image.isEmpty() != !parser.isSet(QStringLiteral("url")) ||
        arm64Image.isEmpty() != arm64Url.isEmpty() || (image.isEmpty() && arm64Image.isEmpty()))
        return fail(QString::fromLatin1(kUsage));
    // A build that pins no key writes what copies that pin one refuse.
    if (build::kUpdatePublicKey[0] == '\0' && !parser.isSet(QStringLiteral("unsigned")))
        return fail(QStringLiteral("This build pins no signing key, so its manifest would be "
                                   "unsigned and expire never: use the release build's "
                                   "veldra-release, or give --unsigned."));
    release::ManifestRequest request{.imagePath = image,
                                     .version = parser.value(QStringLiteral("version")),
                                     .url = parser.value(QStringLiteral("url")),
                                     .arm64ImagePath = arm64Image,
                                     .arm64Url = arm64Url,
                                     .inspect = release::mountedImageInspector(
                                         systemTools(QString::fromUtf8(build::kSystemToolsDir)),
                                         QString::fromUtf8(build::kCodeSignRequirement)),
                                     .bundleIdentifier = QString::fromUtf8(build::kBundleId),
                                     .revokedKeys = parser.values(QStringLiteral("revoke"))};
    // Each patch as its three options, in the order given.
    const QStringList deltaFrom = parser.values(QStringLiteral("delta-from"));
    const QStringList deltas = parser.values(QStringLiteral("delta"));
    const QStringList deltaUrls = parser.values(QStringLiteral("delta-url"));
    if (deltas.size() != deltaFrom.size() || deltas.size() != deltaUrls.size())
        return fail(QStringLiteral("Give each patch as --delta-from VERSION --delta FILE "
                                   "--delta-url URL."));
    for (qsizetype i = 0; i < deltas.size(); ++i)
        request.patches << release::PatchRequest{deltaFrom[i], deltas[i], deltaUrls[i]};
    if (parser.isSet(QStringLiteral("notes")))
        request.notes = parser.value(QStringLiteral("notes"));
    if (parser.isSet(QStringLiteral("critical-below")))
        request.criticalBelow = parser.value(QStringLiteral("critical-below"));
    request.criticalReason = parser.value(QStringLiteral("critical-reason"));
    request.channel = parser.value(QStringLiteral("channel"));
    if (parser.isSet(QStringLiteral("extend"))) {
        QFile base(parser.value(QStringLiteral("extend")));
        if (!base.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("The manifest %1 could not be read.").arg(base.fileName()));
        request.extends = base.read(kMaxManifestBytes + 1);
    }
    if (parser.isSet(QStringLiteral("release-notes"))) {
        // What the update prompt shows, whole: never more than it shows.
        QFile file(parser.value(QStringLiteral("release-notes")));
        const QByteArray bytes =
            file.open(QIODevice::ReadOnly) ? file.read(release::kMaxReleaseNotesBytes + 1) : "";
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8(bytes);
        if (bytes.isEmpty() || bytes.size() > release::kMaxReleaseNotesBytes || utf8.hasError())
            return fail(QStringLiteral("--release-notes takes a file of UTF-8 text, 1 byte to 16 "
                                       "KiB: %1 is not.")
                            .arg(file.fileName()));
        request.notes = text;
    }
    if (parser.isSet(QStringLiteral("rollout-days"))) {
        bool ok = false;
        const int days = parser.value(QStringLiteral("rollout-days")).toInt(&ok);
        if (!ok || days < 1 || days > 30)
            return fail(QStringLiteral("--rollout-days takes a whole number of days, 1 to 30."));
        QDateTime start = QDateTime::currentDateTimeUtc();
        start.setTime(QTime(start.time().hour(), start.time().minute(), start.time().second()));
        if (parser.isSet(QStringLiteral("rollout-start"))) {
            start =
                QDateTime::fromString(parser.value(QStringLiteral("rollout-start")), Qt::ISODate);
            if (!start.isValid() || start.timeSpec() == Qt::LocalTime)
                return fail(QStringLiteral("--rollout-start takes a UTC time such as "
                                           "2026-12-07T10:00:00Z."));
        }
        request.rollout = Rollout{start.toUTC(), days};
    } else if (parser.isSet(QStringLiteral("rollout-start"))) {
        return fail(QStringLiteral("--rollout-start needs --rollout-days."));
    }
    // A keyed build refuses a manifest without an expiry.
    if (build::kUpdatePublicKey[0] != '\0') {
        request.expires = expiryFrom(parser);
        if (!request.expires)
            return fail(QStringLiteral("--expires-in takes a number of days, 1 or more."));
    }
    const auto made = release::makeManifest(request, UpdateServer::production());
    if (const auto* problem = std::get_if<QString>(&made))
        return fail(*problem);
    return write(parser, std::get<QByteArray>(made));
}

int renew(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("manifest"), QStringLiteral("the manifest"));
    parser.addOptions(
        {kExpiresIn,
         {QStringLiteral("output"), QStringLiteral("write here"), QStringLiteral("file")}});
    if (!parser.parse(arguments) || parser.positionalArguments().size() != 1 ||
        !parser.isSet(QStringLiteral("output")))
        return fail(QString::fromLatin1(kUsage));
    const auto expires = expiryFrom(parser);
    if (!expires)
        return fail(QStringLiteral("--expires-in takes a number of days, 1 or more."));
    QFile file(parser.positionalArguments().constFirst());
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("The manifest %1 could not be read.").arg(file.fileName()));
    const auto renewed = release::renewManifest(file.read(kMaxManifestBytes + 1), *expires);
    if (const auto* problem = std::get_if<QString>(&renewed))
        return fail(*problem);
    return write(parser, std::get<QByteArray>(renewed));
}

int delta(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addOptions(
        {{QStringLiteral("from"), QStringLiteral("the installed version's bundle"),
          QStringLiteral("app")},
         {QStringLiteral("to"), QStringLiteral("the new version's bundle"), QStringLiteral("app")},
         {QStringLiteral("output"), QStringLiteral("the patch"), QStringLiteral("file")}});
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty() ||
        !parser.isSet(QStringLiteral("from")) || !parser.isSet(QStringLiteral("to")) ||
        !parser.isSet(QStringLiteral("output")))
        return fail(QString::fromLatin1(kUsage));
    const QString output = parser.value(QStringLiteral("output"));
    const auto made = makeBundlePatch(parser.value(QStringLiteral("from")),
                                      parser.value(QStringLiteral("to")), output);
    if (const auto* problem = std::get_if<PatchProblem>(&made))
        return fail(problem->message);
    const PatchHeader& header = std::get<PatchHeader>(made);
    std::printf("%s\n", qPrintable(QStringLiteral("%1 to %2: %3 bytes; %4 files kept, %5 patched, "
                                                  "%6 added, %7 entries removed")
                                       .arg(header.fromVersion, header.toVersion)
                                       .arg(QFileInfo(output).size())
                                       .arg(header.kept)
                                       .arg(header.patched)
                                       .arg(header.added)
                                       .arg(header.removed)));
    return 0;
}

int check(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("manifest-url"), QStringLiteral("the manifest"));
    parser.addOptions({{QStringLiteral("current"), QStringLiteral("the installed version"),
                        QStringLiteral("version"), QString::fromUtf8(build::kVersion)},
                       {QStringLiteral("image"), QStringLiteral("also download and verify")},
                       {QStringLiteral("arch"), QStringLiteral("check as this copy would"),
                        QStringLiteral("x86_64|arm64|translated")},
                       {QStringLiteral("channel"), QStringLiteral("as a copy on this channel"),
                        QStringLiteral("beta")},
                       {QStringLiteral("public-key"), QStringLiteral("verify with this key"),
                        QStringLiteral("minisign.pub")}});
    if (!parser.parse(arguments) || parser.positionalArguments().size() > 1)
        return fail(QString::fromLatin1(kUsage));
    auto copy = platform::kBuildCopy;
    if (parser.isSet(QStringLiteral("arch"))) {
        const QString arch = parser.value(QStringLiteral("arch"));
        if (arch == QLatin1String("x86_64"))
            copy = platform::RunningCopy::x86_64;
        else if (arch == QLatin1String("arm64"))
            copy = platform::RunningCopy::arm64;
        else if (arch == QLatin1String("translated"))
            copy = platform::RunningCopy::translated;
        else
            return fail(QString::fromLatin1(kUsage));
    }
    // The hand-over release is signed with a key the previous build pins.
    QList<MinisignKey> keys = publicKeys();
    if (parser.isSet(QStringLiteral("public-key"))) {
        QFile file(parser.value(QStringLiteral("public-key")));
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
        const auto key = parseMinisignPublicKey(QString::fromLatin1(text.split('\n').value(1)));
        if (!key)
            return fail(QStringLiteral("%1 is not a minisign.pub file.").arg(file.fileName()));
        keys = {*key};
    }
    const UpdateServer server = UpdateServer::production();
    const QString address = parser.positionalArguments().value(0, manifestAddress(server));
    const release::CheckReport report =
        release::checkPublished({.manifestUrl = QUrl(address),
                                 .currentVersion = parser.value(QStringLiteral("current")),
                                 .downloadImage = parser.isSet(QStringLiteral("image")),
                                 .publicKeys = keys,
                                 .copy = copy,
                                 .channel = parser.value(QStringLiteral("channel"))},
                                server, trustedCas(), QDir::tempPath());
    std::printf("%s\n", qPrintable(report.line));
    if (!report.notesLine.isEmpty())
        std::printf("notes: %s\n", qPrintable(report.notesLine));
    if (!report.rolloutLine.isEmpty())
        std::printf("%s\n", qPrintable(report.rolloutLine));
    if (keys.isEmpty())
        std::printf(
            "signature not checked: this build pins no key (--public-key FILE checks it)\n");
    for (const QString& line : {report.signatureLine, report.warningLine})
        if (!line.isEmpty())
            std::printf("%s\n", qPrintable(line));
    return report.offered ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (arguments.size() > 1) // the command itself
        arguments.removeAt(1);
    if (command == QLatin1String("manifest"))
        return manifest(arguments);
    if (command == QLatin1String("renew"))
        return renew(arguments);
    if (command == QLatin1String("delta"))
        return delta(arguments);
    if (command == QLatin1String("check"))
        return check(arguments);
    return fail(QString::fromLatin1(kUsage));
}
