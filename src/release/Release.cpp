#include "release/Release.h"

#include "platform/Bundle.h"
#include "platform/ExecutableArchitectures.h"
#include "platform/InfoPlist.h"
#include "updater/engine/MacUpdater.h"
#include "updater/fetching/ImageDownload.h"
#include "updater/fetching/ManifestCheck.h"
#include "updater/fetching/Sha256.h"
#include "updater/fetching/UpdateSession.h"
#include "updater/installing/Installer.h"
#include "updater/offer/Channel.h"
#include "updater/offer/Version.h"
#include "updater/patches/BundlePatch.h"
#include "updater/patches/TreeDigest.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <array>

namespace veldra::release {

namespace {

// The digest of an image the application will accept from `url`, or the one
// line that names the problem.
struct ImageProblem {
    QString line;
};
std::variant<QString, ImageProblem> checkedImageDigest(const QString& path, const QString& url,
                                                       const UpdateServer& server) {
    if (!makeUpdateURL(url, server))
        return ImageProblem{QStringLiteral("The URL %1 fails the update URL rule: https on %2, "
                                           "port %3, no user or password.")
                                .arg(url, server.host)
                                .arg(server.port)};
    const QFileInfo image(path);
    if (!image.isFile())
        return ImageProblem{QStringLiteral("No image at %1.").arg(path)};
    if (!isAcceptableImageSize(image.size()))
        return ImageProblem{QStringLiteral("The image %1 has %2 bytes; an update image has more "
                                           "than %3 and at most %4.")
                                .arg(path)
                                .arg(image.size())
                                .arg(kMinImageBytes)
                                .arg(kMaxImageBytes)};
    const auto digest = sha256Hex(path);
    if (const auto* error = std::get_if<platform::SystemError>(&digest))
        return ImageProblem{QStringLiteral("The image could not be read: %1").arg(error->message)};
    return std::get<QString>(digest);
}

// The tree digest of the application of the x86-64 and of the arm64 image:
// none where no image is given, empty where it was not read.
using ImageTrees = std::array<std::optional<QString>, 2>;

// The manifest's patch entries for the x86-64 and the arm64 image.
std::variant<std::array<QJsonArray, 2>, QString>
patchEntries(const ManifestRequest& request, const UpdateServer& server, const ImageTrees& trees) {
    std::array<QJsonArray, 2> entries;
    for (const PatchRequest& patch : request.patches) {
        const auto read = readPatchHeader(patch.path);
        if (const auto* problem = std::get_if<PatchProblem>(&read))
            return problem->message;
        const PatchHeader& header = std::get<PatchHeader>(read);
        if (!isSameVersion(header.fromVersion, patch.fromVersion) ||
            !isSameVersion(header.toVersion, request.version))
            return QStringLiteral("The patch %1 is from %2 to %3, not from %4 to %5.")
                .arg(patch.path, header.fromVersion, header.toVersion, patch.fromVersion,
                     request.version);
        if (!makeUpdateURL(patch.url, server))
            return QStringLiteral("The URL %1 fails the update URL rule.").arg(patch.url);
        const qint64 size = QFileInfo(patch.path).size();
        const auto digest = sha256Hex(patch.path);
        if (size > kMaxImageBytes || !std::holds_alternative<QString>(digest))
            return QStringLiteral("The patch %1 could not be read, or is too large.")
                .arg(patch.path);
        const QJsonObject entry{{QStringLiteral("from"), patch.fromVersion},
                                {QStringLiteral("url"), patch.url},
                                {QStringLiteral("size"), size},
                                {QStringLiteral("sha256"), std::get<QString>(digest)},
                                {QStringLiteral("source_tree"), header.sourceTree},
                                {QStringLiteral("result_tree"), header.resultTree}};
        bool placed = false;
        for (size_t i = 0; i < trees.size(); ++i) {
            if (!trees[i] || (request.inspect && *trees[i] != header.resultTree))
                continue;
            entries[i].append(entry);
            placed = true;
        }
        if (!placed)
            return QStringLiteral("The patch %1 does not make the application in any of the "
                                  "images: it was made for another build.")
                .arg(patch.path);
    }
    return entries;
}

// Why every copy offered this image would download it and then refuse to
// install it, as the install step checks the application for
// `architecture`; none when it would install it.
std::optional<QString> installRefusal(const QString& image, const ImageFacts& facts,
                                      const ManifestRequest& request,
                                      platform::Architecture architecture) {
    const QString application = QStringLiteral("The application in %1 ").arg(image);
    const QString refused =
        QStringLiteral(": copies would download it and then refuse to install it.");
    if (!isSameVersion(facts.version, request.version))
        return application +
               QStringLiteral("is version \"%1\", not %2").arg(facts.version, request.version) +
               refused;
    if (facts.bundleIdentifier != request.bundleIdentifier)
        return application +
               QStringLiteral("has the identifier \"%1\", not %2")
                   .arg(facts.bundleIdentifier, request.bundleIdentifier) +
               refused;
    if (!facts.signatureAccepted)
        return application +
               QStringLiteral("fails codesign --verify --deep --strict, with this build's pinned "
                              "signer if it has one") +
               refused;
    if (!facts.architectures.contains(architecture))
        return application +
               QStringLiteral("has no %1 code")
                   .arg(QLatin1String(platform::lipoArchitectureName(architecture))) +
               refused;
    return std::nullopt;
}

QString expiryText(const QDateTime& expires) {
    return expires.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

} // namespace

ImageInspector mountedImageInspector(const SystemTools& tools, const QString& codeSignRequirement) {
    return [tools, codeSignRequirement](const QString& image) -> std::variant<ImageFacts, QString> {
        Installer::Configuration configuration;
        configuration.tools = tools;
        configuration.codeSignRequirement = codeSignRequirement;
        Installer installer(std::move(configuration));
        const auto mounted = installer.attachDiskImage(image);
        if (std::holds_alternative<UpdateFailure>(mounted))
            return QStringLiteral("The image %1 could not be opened with %2.")
                .arg(image, tools.hdiutil);
        const QString mountPoint = std::get<QString>(mounted);
        const QString application =
            mountPoint + QLatin1Char('/') + QLatin1String(platform::kBundleFileName);
        std::variant<ImageFacts, QString> result =
            QStringLiteral("The image %1 has no %2 at its root.")
                .arg(image, QLatin1String(platform::kBundleFileName));
        const auto plist = [&](const char* key) {
            return platform::infoPlistString(application, QLatin1String(key));
        };
        if (QFileInfo(application + QStringLiteral("/Contents/Info.plist")).isFile()) {
            const auto minimum = plist("LSMinimumSystemVersion");
            if (minimum && !parseVersion(*minimum))
                result = QStringLiteral("The application in %1 has an LSMinimumSystemVersion "
                                        "\"%2\" that is not a version.")
                             .arg(image, *minimum);
            else if (const auto tree = treeDigest(application);
                     const auto* problem = std::get_if<TreeProblem>(&tree))
                result = QStringLiteral("The application in %1 could not be read: %2")
                             .arg(image, problem->message);
            else
                result = ImageFacts{
                    minimum,
                    std::get<QString>(tree),
                    plist("CFBundleIdentifier").value_or(QString()),
                    plist("CFBundleShortVersionString").value_or(QString()),
                    platform::executableArchitecturesOfFile(
                        application + QStringLiteral("/Contents/MacOS/") +
                        plist("CFBundleExecutable").value_or(QString()))
                        .value_or(QList<platform::Architecture>()),
                    !installer.verifyCodeSignature(application),
                };
        }
        installer.detachDiskImage(mountPoint);
        return result;
    };
}

std::variant<QByteArray, QString> makeManifest(const ManifestRequest& request,
                                               const UpdateServer& server) {
    if (!parseVersion(request.version))
        return QStringLiteral("The version \"%1\" is not one the application can read "
                              "(numbers separated by dots).")
            .arg(request.version);
    if (request.imagePath.isEmpty() && request.arm64ImagePath.isEmpty())
        return QStringLiteral("No image: give the x86-64 image, the arm64 image or both.");
    QJsonObject manifest{{QStringLiteral("mac_version"), request.version}};
    // The first-choice keys of each build.
    const struct {
        const QString& path;
        const QString& url;
        const char* urlKey;
        const char* digestKey;
        const char* patchesKey;
    } images[] = {
        {request.imagePath, request.url, "mac_x64_url", "mac_x64_sha256", "mac_x64_patches"},
        {request.arm64ImagePath, request.arm64Url, "mac_arm64_url", "mac_arm64_sha256",
         "mac_arm64_patches"}};
    std::optional<QString> minimumSystem;
    ImageTrees trees;
    for (size_t i = 0; i < trees.size(); ++i) {
        const auto& image = images[i];
        if (image.path.isEmpty())
            continue;
        trees[i] = QString();
        const auto digest = checkedImageDigest(image.path, image.url, server);
        if (const auto* problem = std::get_if<ImageProblem>(&digest))
            return problem->line;
        manifest.insert(QLatin1String(image.urlKey), image.url);
        manifest.insert(QLatin1String(image.digestKey), std::get<QString>(digest));
        if (!request.inspect)
            continue;
        const auto facts = request.inspect(image.path);
        if (const auto* problem = std::get_if<QString>(&facts))
            return *problem;
        const auto architecture =
            i == 0 ? platform::Architecture::x86_64 : platform::Architecture::arm64;
        if (const auto refusal =
                installRefusal(image.path, std::get<ImageFacts>(facts), request, architecture))
            return *refusal;
        trees[i] = std::get<ImageFacts>(facts).treeDigest;
        const auto& minimum = std::get<ImageFacts>(facts).minimumSystemVersion;
        if (minimum && (!minimumSystem || isNewerVersion(*minimum, *minimumSystem)))
            minimumSystem = minimum;
    }
    const auto patches = patchEntries(request, server, trees);
    if (const auto* problem = std::get_if<QString>(&patches))
        return *problem;
    for (size_t i = 0; i < trees.size(); ++i)
        if (const QJsonArray& entries = std::get<std::array<QJsonArray, 2>>(patches)[i];
            !entries.isEmpty())
            manifest.insert(QLatin1String(images[i].patchesKey), entries);
    // One key for every architecture: the strictest of the images' minimums.
    if (minimumSystem)
        manifest.insert(QStringLiteral("mac_minimum_system_version"), *minimumSystem);
    if (request.notes)
        manifest.insert(QStringLiteral("releaseNotes"), *request.notes);
    if (request.rollout) {
        manifest.insert(QStringLiteral("rollout_start"),
                        request.rollout->start.toUTC().toString(Qt::ISODate));
        manifest.insert(QStringLiteral("rollout_days"), request.rollout->days);
    }
    if (request.criticalBelow) {
        if (!parseVersion(*request.criticalBelow) ||
            isNewerVersion(*request.criticalBelow, request.version))
            return QStringLiteral("--critical-below takes a version no newer than %1: \"%2\" is "
                                  "not.")
                .arg(request.version, *request.criticalBelow);
        manifest.insert(QStringLiteral("critical_below"), *request.criticalBelow);
        if (!request.criticalReason.isEmpty())
            manifest.insert(QStringLiteral("critical_reason"), request.criticalReason.simplified());
    }
    // A channel's entry goes beside the default one of the manifest it
    // extends, which stays as it was; the expiry is the whole manifest's.
    if (!request.channel.isEmpty()) {
        if (request.channel != QLatin1String(kBetaChannel))
            return QStringLiteral("--channel takes \"%1\".").arg(QLatin1String(kBetaChannel));
        const QJsonDocument base = QJsonDocument::fromJson(request.extends);
        if (!base.isObject() || !MacUpdateManifest::decode(request.extends))
            return QStringLiteral("--channel needs --extend with the manifest it goes beside.");
        QJsonObject extended = base.object();
        QJsonObject channels = extended.value(QStringLiteral("channels")).toObject();
        channels.insert(request.channel, manifest);
        extended.insert(QStringLiteral("channels"), channels);
        manifest = extended;
    }
    // Revocations are the whole manifest's, whoever's entry is new.
    if (!request.revokedKeys.isEmpty()) {
        QJsonArray revoked = manifest.value(QStringLiteral("revoked_keys")).toArray();
        for (const QString& id : request.revokedKeys) {
            // Some versions of minisign leave out leading zeros on minisign.pub's first line.
            const QString full = id.toUpper().rightJustified(16, QLatin1Char('0'));
            if (id.isEmpty() || !isMinisignKeyIdText(full))
                return QStringLiteral("--revoke takes a key id, the hexadecimal number on "
                                      "minisign.pub's first line: \"%1\" is not one.")
                    .arg(id);
            if (!revoked.contains(full))
                revoked.append(full);
        }
        manifest.insert(QStringLiteral("revoked_keys"), revoked);
    }
    if (request.expires)
        manifest.insert(QStringLiteral("expires"), expiryText(*request.expires));
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

std::variant<QByteArray, QString> renewManifest(const QByteArray& manifest,
                                                const QDateTime& expires) {
    const QJsonDocument document = QJsonDocument::fromJson(manifest);
    if (!document.isObject() || !MacUpdateManifest::decode(manifest))
        return QStringLiteral("That is not an update manifest: nothing was written.");
    QJsonObject renewed = document.object();
    renewed.insert(QStringLiteral("expires"), expiryText(expires));
    return QJsonDocument(renewed).toJson(QJsonDocument::Indented);
}

namespace {

// One transfer through `session`, waited for here.
TransferResult fetch(UpdateSession& session, const QUrl& url, const QString& description,
                     std::chrono::milliseconds timeout, const QString& currentVersion) {
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    request.setRawHeader("User-Agent", userAgent(currentVersion));
    QEventLoop loop;
    TransferResult result;
    session.start(request, description, [&](TransferResult transfer) {
        result = std::move(transfer);
        loop.quit();
    });
    loop.exec();
    return result;
}

// "signed by key …, expires …[, revokes …]", and a warning when the
// expiry is near.
std::pair<QString, QString> describeSignature(const TrustedManifest& trusted,
                                              const QDateTime& expires, const QDateTime& now) {
    const qint64 days = now.daysTo(expires);
    QString line = QStringLiteral("signed by key %1, expires %2 (in %3 days)")
                       .arg(trusted.signer, expires.toString(Qt::ISODate))
                       .arg(days);
    if (!trusted.revokes.isEmpty())
        line += QStringLiteral(", revokes ") + trusted.revokes.join(QStringLiteral(", "));
    if (days >= kRenewWarningDays)
        return {line, QString()};
    return {line, QStringLiteral("warning: the manifest expires in %1 days: renew it "
                                 "(veldra-release renew), sign it and upload it.")
                      .arg(days)};
}

} // namespace

CheckReport checkPublished(const CheckRequest& request, const UpdateServer& server,
                           const QList<QSslCertificate>& trustedCas,
                           const QString& temporaryDirectory) {
    const MacUpdater::Timings timings;
    UpdateSession session(std::make_unique<QNetworkAccessManager>(), server, trustedCas,
                          temporaryDirectory, UpdateSession::Limits{timings.manifestCap});
    // Never a cached answer: the query the application sends.
    QUrl manifestUrl = request.manifestUrl;
    if (!manifestUrl.hasQuery())
        manifestUrl.setQuery(
            cacheBustingQuery(static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0)
                .mid(1));
    const TransferResult manifest =
        fetch(session, manifestUrl, QLatin1String(kManifestTaskDescription),
              timings.manifestTimeout, request.currentVersion);
    std::optional<QString> refusal;
    std::function<bool(const QByteArray&)> acceptBody;
    TransferResult signature;
    QString signatureLine, warningLine;
    const auto report = [&](bool offered, const QString& line, const QString& rolloutLine = {},
                            const QString& notesLine = {}) {
        return CheckReport{offered, line, rolloutLine, notesLine, signatureLine, warningLine};
    };
    if (!request.publicKeys.isEmpty() && manifest.isHttp && manifest.status == 200 &&
        manifest.file) {
        QUrl signatureUrl = manifestUrl;
        signatureUrl.setPath(signatureUrl.path() + QStringLiteral(".minisig"));
        signature = fetch(session, signatureUrl, QLatin1String(kSignatureTaskDescription),
                          timings.manifestTimeout, request.currentVersion);
        acceptBody = [&](const QByteArray& bytes) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            const auto verdict =
                judgeManifestSignature(signature, bytes, {request.publicKeys}, now);
            if (const auto* refused = std::get_if<SignatureRefusal>(&verdict)) {
                refusal = refused->why.isEmpty()
                              ? refused->status
                              : refused->status + QStringLiteral(" (") + refused->why + ')';
                return false;
            }
            std::tie(signatureLine, warningLine) = describeSignature(
                std::get<TrustedManifest>(verdict), manifestExpiry(bytes).value_or(now), now);
            return true;
        };
    }
    const CheckResult checked =
        handleManifestResponse(manifest, request.currentVersion, server, acceptBody, request.copy,
                               QString(), request.channel);
    if (refusal)
        return report(false, *refusal);
    switch (checked.kind) {
    case CheckResult::Kind::failed:
    case CheckResult::Kind::needsNewerSystem:
        return report(false, checked.message);
    case CheckResult::Kind::upToDate:
        return report(false, QStringLiteral("Up to date"));
    case CheckResult::Kind::available:
        break;
    }
    const QString offers =
        QStringLiteral("offers %1 (%2 image)")
            .arg(checked.version,
                 QLatin1String(platform::lipoArchitectureName(checked.architecture))) +
        (checked.criticalBelow.isEmpty()
             ? QString()
             : QStringLiteral(", required below %1").arg(checked.criticalBelow));
    const QString rolloutLine = checked.rollout ? describeRollout(*checked.rollout) : QString();
    const QString notesLine = checked.releaseNotes.trimmed().section(QLatin1Char('\n'), 0, 0);
    if (!request.downloadImage)
        return report(true, offers, rolloutLine, notesLine);

    const auto url = makeUpdateURL(checked.location, server);
    if (!url)
        return report(false, QStringLiteral("Download failed"));
    qint64 verifiedBytes = 0;
    const auto failure = completeDownload(
        fetch(session, *url, QString(), timings.downloadTimeout, request.currentVersion),
        checked.digest, checked.version, checked.architecture, server, temporaryDirectory,
        [&](const QString& image, const QString&, platform::Architecture,
            const QString&) -> std::optional<UpdateFailure> {
            // Where the application would mount it, this only reports it.
            verifiedBytes = QFileInfo(image).size();
            QFile::remove(image);
            return std::nullopt;
        });
    if (failure)
        return report(false, *failure);
    return report(true, offers + QStringLiteral(", image verified (%1 bytes)").arg(verifiedBytes),
                  rolloutLine, notesLine);
}

QString describeRollout(const Rollout& rollout) {
    return QStringLiteral("staged over %1 days: automatic checks offer it to the first copies "
                          "from %2, to the last from %3; a manual check at once")
        .arg(rollout.days)
        .arg(rollout.availableFrom(0).toString(Qt::ISODate),
             rollout.availableFrom(Rollout::kGroups - 1).toString(Qt::ISODate));
}

} // namespace veldra::release
