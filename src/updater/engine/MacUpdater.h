#pragma once

#include "updater/MacUpdateManifest.h"
#include "updater/Minisign.h"
#include "updater/UpdateSession.h"
#include "updater/UpdaterError.h"
#include "updater/UpdaterState.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace veldra {

// The outcome of reading a fetched manifest.
struct CheckResult {
    // needsNewerSystem: a newer version this macOS cannot run; said only to
    // a user who asked.
    enum class Kind { failed, upToDate, needsNewerSystem, available };
    Kind kind = Kind::failed;
    QString message;  // for failed and needsNewerSystem
    QString version;  // for available, as the manifest has it
    QString location; // for available, the text
    QString digest;   // for available, lower case
    platform::Architecture architecture = platform::Architecture::x86_64; // for available
    std::optional<Rollout> rollout = std::nullopt;                        // for available
    std::optional<PatchOffer> patch = std::nullopt; // for available: from the running version
};

// Whether an automatic check offers an available version now: always without
// a rollout, otherwise from the time the rollout reaches `group`. A check the
// user asked for offers it at once.
[[nodiscard]] bool isOfferedNow(const std::optional<Rollout>& rollout, bool manual, int group,
                                const QDateTime& now);

// Judges a finished manifest transfer: transport, status, final address,
// size, JSON and the manifest rules, in that order.
// `acceptBody`, when given, sees the manifest's exact bytes before they are
// decoded; refusing them is "Invalid update signature".
// `copy` chooses the manifest's entries (see selectManifestEntries);
// `systemVersion` is the running macOS (see evaluateManifest).
CheckResult handleManifestResponse(const TransferResult& transfer, const QString& currentVersion,
                                   const UpdateServer& server,
                                   const std::function<bool(const QByteArray&)>& acceptBody = {},
                                   platform::RunningCopy copy = platform::kBuildCopy,
                                   const QString& systemVersion = QString());

// Judges a fetched manifest signature (.minisig) for the manifest bytes: none
// when the manifest may be read, else the status line ("Update check failed"
// when the signature could not be fetched at all, "Invalid update signature"
// otherwise). A signed manifest must carry an "expires" later than `now`.
std::optional<QString> judgeManifestSignature(const TransferResult& signature,
                                              const QByteArray& manifest, const MinisignKey& key,
                                              const QDateTime& now);

// "VeldraCloudDesktop-MacUpdater/<version>"
QByteArray userAgent(const QString& version);

// More than 64 KiB (a real image is always larger) and at most 500 MiB.
inline constexpr qint64 kMinImageBytes = 65'536;
bool isAcceptableImageSize(qint64 size);

// "?t=<seconds since 1970 in shortest round-trip form, at least one decimal>"
QString cacheBustingQuery(double secondsSinceEpoch);

// The application's one updater: checks for a newer version on a schedule or
// on request, publishes what it found, and downloads, verifies and hands over
// an accepted update. Lives on the main thread; transfers, hashing and the
// install run on one serial worker thread.
class MacUpdater : public UpdaterState {
    Q_OBJECT
public:
    // Runs on the worker thread with the verified image, the expected version,
    // the architecture the new application must contain and the image's
    // digest. Returns normally once the install has been handed over.
    using InstallStep = std::function<std::optional<UpdateFailure>(
        const QString& imagePath, const QString& expectedVersion, platform::Architecture,
        const QString& digest)>;

    // The same for a copy of the installed application made new by a patch:
    // the application, the folder holding it (which goes with it), the version
    // and architecture it must be, and its tree digest.
    using PatchedInstallStep = std::function<std::optional<UpdateFailure>(
        const QString& application, const QString& folder, const QString& expectedVersion,
        platform::Architecture, const QString& treeDigest)>;

    struct Timings {
        std::chrono::milliseconds firstCheck{3'000};
        std::chrono::milliseconds sessionRetry{120'000};
        std::chrono::milliseconds hourly{3'600'000};
        std::chrono::milliseconds manifestTimeout{20'000};  // silence on one request
        std::chrono::milliseconds downloadTimeout{300'000}; // no byte for this long
        std::chrono::milliseconds manifestCap{300'000};     // the manifest's whole transfer
        // A check that cannot reach the server (offline after login or wake)
        // tries again after 5, 10, 20, ... seconds until this long after it
        // began, and only then fails.
        std::chrono::milliseconds offlineFirstRetry{5'000};
        std::chrono::milliseconds offlineWindow{300'000};
        // A download that drops asks for the rest after this long, then
        // twice as long before each further try (five in all).
        std::chrono::milliseconds firstResumeWait{1'000};
        // Download progress reaches the interface at most this often.
        std::chrono::milliseconds progressInterval{250};
    };
    struct Configuration {
        UpdateServer server = {};
        QList<QSslCertificate> trustedCas = {}; // empty: the system trust store
        QByteArray trustedCaPem = {};           // the same as PEM, read on first use
        QString temporaryDirectory = {};
        std::function<QString()> currentVersion = {};
        std::function<bool()> isSessionRunning = {};
        InstallStep installUpdate = {};
        // With both, a patch from the running version is used when the
        // installed bundle is exactly what the patch is for.
        PatchedInstallStep installPatchedCopy = {};
        QString installedApplication = {};
        // A version whose patch an install could not put in place: its image.
        QString patchRefusedVersion = {};
        // Which entries of a manifest this copy takes.
        platform::RunningCopy runningCopy = platform::kBuildCopy;
        // The running macOS version; empty: not a Mac, no minimum applies.
        QString systemVersion = {};
        // This copy's rollout group (0 to 29), and the clock rollouts are read by.
        int rolloutGroup = 0;
        std::function<QDateTime()> now = {}; // none: the system clock
        // A version put back because it did not start: never offered again
        // (a manual check says why); with `announceRollBack` said at once.
        QString rolledBackVersion = {};
        bool announceRollBack = false;
        // The publisher's key: every manifest must carry its signature.
        std::optional<MinisignKey> publicKey = std::nullopt;
        bool namedTransferFiles = false;                        // see UpdateSession::Limits
        std::function<std::chrono::milliseconds()> jitter = {}; // 0 to 300 s
        Timings timings = {};
    };

    // `network` may be null: one is then made on the worker thread at the
    // first transfer.
    MacUpdater(Configuration configuration, std::unique_ptr<QNetworkAccessManager> network,
               QObject* parent = nullptr);
    ~MacUpdater() override;

    // The production instance; creating it arms the first check.
    static MacUpdater& shared();

    QString expectedSha256() const { return m_expectedSha256; }

    // Callable from any thread; `completion` gets true exactly when this check
    // published a newer version.
    void checkForUpdates(bool manual, CheckCompletion completion = {}) override;
    // Replaces any pending automatic check.
    void scheduleNextCheck(std::chrono::milliseconds delay);
    // Downloads, verifies and installs the known update. Callable from any thread.
    void startDownload() override;

    // The install has been handed over: say so and end the application, so
    // that the install script can replace it. Main thread.
    void finishAndTerminate();

    // The application is quitting: a download under way stops and leaves no
    // file behind. Main thread; returns once that is done.
    void discardDownload();

    // When the pending automatic check fires, if one is pending.
    std::optional<std::chrono::milliseconds> nextCheckIn() const;

private:
    void timerFired();
    void publishAvailableUpdate(const CheckResult& result);
    QDateTime now() const;
    // `quietUnlessManual`: the message reaches the status line only when a
    // user asked for this check.
    void finishCheck(bool found, const std::optional<QString>& message, bool clearUpdate,
                     bool quietUnlessManual = false);
    void finishDownloadWithFailure(const QString& message);
    // Worker thread: the patch when it can be used, else (or when it fails)
    // the image.
    struct Download {
        QUrl image;
        QString digest;
        QString version;
        platform::Architecture architecture;
        std::optional<PatchOffer> patch;
        QByteArray userAgent;
    };
    void download(const Download& update);
    void downloadImage(const Download& update);
    QNetworkRequest downloadRequest(const QUrl& url, const Download& update) const;
    std::function<void(qint64, qint64)> progressReporter();
    // Worker thread: one attempt at the manifest, and the retries of a check
    // that cannot reach the server.
    void fetchManifest(const QNetworkRequest& request, const QString& current,
                       std::chrono::steady_clock::time_point began,
                       std::chrono::milliseconds nextRetry);
    void fetchSignature(const QNetworkRequest& manifestRequest, const QString& current,
                        std::shared_ptr<TransferResult> manifest);
    void publishCheckResult(const CheckResult& result);
    void onWorker(std::function<void()> work);

    Configuration m_config;
    QString m_expectedSha256;
    platform::Architecture m_updateArchitecture = platform::Architecture::x86_64;
    std::optional<PatchOffer> m_patch;
    QString m_promptedVersion;
    QTimer* m_timer = nullptr;
    QList<CheckCompletion> m_queuedCompletions;
    bool m_manualStatusRequested = false;

    QThread m_worker;
    UpdateSession& session();                         // worker thread; made on first use
    QObject* m_workerContext = nullptr;               // lives on m_worker: where its work runs
    std::unique_ptr<QNetworkAccessManager> m_network; // until the session takes it
    UpdateSession* m_session = nullptr;               // lives on m_worker
    bool m_discarded = false; // worker thread: quitting, so no image after a failed patch
};

// Size, digest and move of a finished image transfer, then `install` on this
// thread. Nothing once the install has been handed over; otherwise the status
// line, with the moved image removed.
std::optional<QString> completeDownload(TransferResult transfer, const QString& expectedDigest,
                                        const QString& expectedVersion,
                                        platform::Architecture architecture,
                                        const UpdateServer& server,
                                        const QString& temporaryDirectory,
                                        const MacUpdater::InstallStep& install);

// What became of a patch: handed over; declined by the user, which ends the
// update with `line`; or unusable, `line` saying why, and the image is the way.
struct PatchOutcome {
    enum class Kind { handedOver, declined, unusable };
    Kind kind = Kind::unusable;
    QString line = {};
};

// Size and digest of a finished patch transfer, the patch applied to a copy of
// `installedApplication` in "<tmp>/VeldraCloudDesktop-<UUID>.patched", its tree
// digest checked, then `install` on this thread. Unless handed over, nothing is
// left behind.
PatchOutcome completePatch(TransferResult transfer, const PatchOffer& offer,
                           const QString& expectedVersion, platform::Architecture architecture,
                           const UpdateServer& server, const QString& installedApplication,
                           const QString& temporaryDirectory,
                           const MacUpdater::PatchedInstallStep& install);

// The image's place once verified: "<tmp>/VeldraCloudDesktop-<UUID>.dmg".
QString verifiedImagePath(const QString& temporaryDirectory);

} // namespace veldra
