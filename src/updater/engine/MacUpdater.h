#pragma once

#include "updater/engine/UpdaterState.h"
#include "updater/fetching/ImageDownload.h"
#include "updater/fetching/ManifestCheck.h"
#include "updater/fetching/UpdateSession.h"
#include "updater/offer/Minisign.h"
#include "updater/offer/Offer.h"
#include "updater/patches/PatchDownload.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace veldra {

// The application's one updater: checks for a newer version on a schedule or
// on request, publishes what it found, and downloads, verifies and hands over
// an accepted update. Lives on the main thread; transfers, hashing and the
// install run on one serial worker thread.
class MacUpdater : public UpdaterState {
    Q_OBJECT
public:
    using InstallStep = veldra::InstallStep;
    using PatchedInstallStep = veldra::PatchedInstallStep;

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
        // Another version was put at the bundle's path: no check runs.
        std::function<bool()> isReplaced = {};
        InstallStep installUpdate = {};
        // Only where the copy can be updated in place: run from its disk image
        // or translocated, a found update says that it must be moved first,
        // which this does.
        bool installable = true;
        // The manifest's channel this copy also takes ("beta"), asked at every
        // check; none or empty: the default entry alone.
        std::function<QString()> channel = {};
        std::function<std::optional<UpdateFailure>()> moveToApplications = {};
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
        // An organisation's hold (see OfferRules), and whether checks run on
        // their own schedule or only when a user asks.
        QString targetVersionPrefix = {};
        bool automaticChecks = true;
        // A version put back because it did not start: never offered again
        // (a manual check says why); with `announceRollBack` said at once.
        QString rolledBackVersion = {};
        bool announceRollBack = false;
        // The publisher's keys, in the build's order: every manifest must carry
        // the signature of one of them (none: manifests are not signed).
        QList<MinisignKey> publicKeys = {};
        // Key ids accepted manifests revoked, in this run or an earlier one;
        // told each id a manifest newly revokes (main thread), to remember it.
        QStringList revokedKeys = {};
        std::function<void(const QStringList& keyIds)> keysRevoked = {};
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

    // Hands this copy over to be moved into Applications. Main thread.
    void moveToApplications();

    // The install has been handed over: say so and end the application, so
    // that the install script can replace it. Main thread.
    void finishAndTerminate();

    // The application is quitting: a download under way stops and leaves no
    // file behind, and an administrator dialog or a patch being applied is
    // abandoned. Main thread; returns at once.
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
    // What a check judges the manifest for: this version, on that channel.
    struct Checking {
        QString version;
        QString channel;
    };
    void fetchManifest(const QNetworkRequest& request, const Checking& current,
                       std::chrono::steady_clock::time_point began,
                       std::chrono::milliseconds nextRetry);
    void fetchSignature(const QNetworkRequest& manifestRequest, const Checking& current,
                        std::shared_ptr<TransferResult> manifest);
    void publishCheckResult(const CheckResult& result);
    // Worker thread: none when the manifest's signature holds (what it revokes
    // is refused from then on), else the status line; the log says why.
    std::optional<QString> trustSignedManifest(const TransferResult& signature,
                                               const QByteArray& manifest);
    void onWorker(std::function<void()> work);

    Configuration m_config;
    QString m_expectedSha256;
    platform::Architecture m_updateArchitecture = platform::Architecture::x86_64;
    std::optional<PatchOffer> m_patch;
    QString m_promptedVersion;
    QString m_saidNeedsNewerSystem; // the version that line was said for
    QTimer* m_timer = nullptr;
    QList<CheckCompletion> m_queuedCompletions;
    bool m_manualStatusRequested = false;

    QThread m_worker;
    UpdateSession& session();                         // worker thread; made on first use
    QObject* m_workerContext = nullptr;               // lives on m_worker: where its work runs
    std::unique_ptr<QNetworkAccessManager> m_network; // until the session takes it
    UpdateSession* m_session = nullptr;               // lives on m_worker
    // Quitting: no image after a failed patch, and a patch being applied stops.
    std::atomic<bool> m_discarded = false;
};

} // namespace veldra
