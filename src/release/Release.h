#pragma once

#include "platform/Architecture.h"
#include "updater/installing/SystemTools.h"
#include "updater/offer/MacUpdateManifest.h"
#include "updater/offer/Minisign.h"
#include "updater/offer/UpdateURL.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>
#include <variant>

namespace veldra::release {

// What the manifest says about the application inside an image, and what
// the install step will check of it.
struct ImageFacts {
    std::optional<QString> minimumSystemVersion;      // its LSMinimumSystemVersion
    QString treeDigest = QString();                   // of the application bundle
    QString bundleIdentifier = QString();             // CFBundleIdentifier
    QString version = QString();                      // CFBundleShortVersionString
    QList<platform::Architecture> architectures = {}; // its executable's
    bool signatureAccepted = false; // by codesign, with the build's pinned signer if any
};
// Opens an image and reads its application; or the one line that names the
// problem.
using ImageInspector = std::function<std::variant<ImageFacts, QString>(const QString& image)>;

// Attaches the image read-only with hdiutil, reads the application at its
// root (Info.plist, the executable's header, its signature as the install
// step verifies it, with `codeSignRequirement` when not empty), and detaches
// it again.
[[nodiscard]] ImageInspector mountedImageInspector(const SystemTools& tools,
                                                   const QString& codeSignRequirement);

// A patch from an earlier version, and where it will be published.
struct PatchRequest {
    QString fromVersion;
    QString path;
    QString url;
};

// What `veldra-release manifest` is given: the x86-64 image, the arm64 image
// or both, each with the URL it will be published at (an empty path: none).
struct ManifestRequest {
    QString imagePath;
    QString version;
    QString url;
    std::optional<QString> notes = std::nullopt;
    QString arm64ImagePath = QString();
    QString arm64Url = QString();
    std::optional<QDateTime> expires = std::nullopt; // written when the build pins a signing key
    // Reads each image's application, for the macOS it needs (the newest
    // of the images' minimums is written) and to refuse one that copies
    // would refuse to install; none: nothing is read.
    ImageInspector inspect = {};
    QString bundleIdentifier = QString(); // what each image's application must carry
    // Key ids ("revoked_keys"): copies refuse manifests signed by them from
    // now on, when a key pinned after them signs this one.
    QStringList revokedKeys = {};
    std::optional<Rollout> rollout = std::nullopt; // a staged rollout; none: everyone at once
    // Each goes under every image whose application it makes (by tree
    // digest; without `inspect`, under every image).
    QList<PatchRequest> patches = {};
    // A required update: copies older than this must take it; and why.
    std::optional<QString> criticalBelow = std::nullopt;
    QString criticalReason = QString();
    // Published on this channel ("beta") beside the default entry of
    // `extends`, the manifest it then extends; empty: the default entry.
    QString channel = QString();
    QByteArray extends = QByteArray();
};

// The manifest for an image, after every check the application will make of
// it (URL rule, image size, version); or the one line that names the problem.
[[nodiscard]] std::variant<QByteArray, QString> makeManifest(const ManifestRequest& request,
                                                             const UpdateServer& server);

// The same manifest with only "expires" moved, to be signed again; or the one
// line that names the problem.
[[nodiscard]] std::variant<QByteArray, QString> renewManifest(const QByteArray& manifest,
                                                              const QDateTime& expires);

// `veldra-release check` warns when a manifest expires sooner than this.
inline constexpr int kRenewWarningDays = 14;

// What `veldra-release check` is given.
struct CheckRequest {
    QUrl manifestUrl;
    QString currentVersion;
    bool downloadImage = false;
    QList<MinisignKey> publicKeys = {}; // the build's pinned keys, or the one given; none: unsigned
    platform::RunningCopy copy = platform::kBuildCopy; // the copy to check as
    QString channel = QString();                       // a copy on that channel
};

// What an installed copy would do: offer a version (and, with the image,
// find it verified), or show a status line.
struct CheckReport {
    bool offered = false;
    // "offers 2.1.0 (arm64 image)[, required below 2.0.5][, image verified (N bytes)]",
    // or the status line
    QString line;
    // With a staged rollout: when automatic checks of the first and of the
    // last group offer it.
    QString rolloutLine = QString();
    // The release notes' first line, when the offered version has notes.
    QString notesLine = QString();
    // "signed by key …, expires …[, revokes …]", when the signature holds;
    // and one line when it expires within kRenewWarningDays.
    QString signatureLine = QString();
    QString warningLine = QString();
};

// At most this many bytes of UTF-8 release notes go into a manifest: what the
// update prompt shows.
inline constexpr qsizetype kMaxReleaseNotesBytes = 16 * 1024;

// "staged over 7 days: the first copies from 2026-12-07T10:00:00Z, the last from …"
[[nodiscard]] QString describeRollout(const Rollout& rollout);

// Fetches and judges the manifest, and with `downloadImage` the image, through
// the application's own update session and rules. Runs an event loop until
// done; call on a thread with a QCoreApplication.
[[nodiscard]] CheckReport checkPublished(const CheckRequest& request, const UpdateServer& server,
                                         const QList<QSslCertificate>& trustedCas,
                                         const QString& temporaryDirectory);

} // namespace veldra::release
