#include "updater/engine/MacUpdater.h"

#include "updater/engine/UpdateLeftovers.h"
#include "updater/installing/Installer.h"
#include "updater/installing/ToolRunner.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QUuid>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace veldra {

MacUpdater::MacUpdater(Configuration configuration, std::unique_ptr<QNetworkAccessManager> network,
                       QObject* parent)
    : UpdaterState(parent), m_config(std::move(configuration)), m_timer(new QTimer(this)) {
    if (!m_config.jitter)
        m_config.jitter = [] {
            return std::chrono::milliseconds(QRandomGenerator::global()->bounded(300'001));
        };
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_timer, &QTimer::timeout, this, &MacUpdater::timerFired);

    // The session and its network manager live on the worker thread, which
    // plays the part of a URL session's serial delegate queue. The session,
    // and with it TLS, is set up on first use: the first check is seconds away.
    m_worker.setObjectName(QStringLiteral("VeldraUpdater"));
    m_worker.start();
    if (network)
        network->moveToThread(&m_worker);
    m_network = std::move(network);
    m_workerContext = new QObject;
    m_workerContext->moveToThread(&m_worker);
    // What an earlier run left behind when it was killed mid-download.
    onWorker([directory = m_config.temporaryDirectory, installed = m_config.installedApplication] {
        removeUpdateLeftovers(directory);
        if (!installed.isEmpty())
            removeInstallLeftovers(installed);
    });

    if (m_config.announceRollBack && !m_config.rolledBackVersion.isEmpty())
        setStatusMessage(rolledBackMessage(m_config.rolledBackVersion));
    if (m_config.automaticChecks)
        scheduleNextCheck(m_config.timings.firstCheck);
}

MacUpdater::~MacUpdater() {
    QMetaObject::invokeMethod(
        m_workerContext,
        [this] {
            delete m_session;
            m_session = nullptr;
            m_network.reset();
            delete m_workerContext;
            // OpenSSL frees a thread's state only as the thread exits, which
            // wait() below does not wait for; free it while we are waited for.
            OPENSSL_thread_stop();
        },
        Qt::BlockingQueuedConnection);
    m_worker.quit();
    m_worker.wait();
}

UpdateSession& MacUpdater::session() {
    if (!m_session) {
        QList<QSslCertificate> cas = m_config.trustedCas;
        if (!m_config.trustedCaPem.trimmed().isEmpty()) {
            cas = QSslCertificate::fromData(m_config.trustedCaPem, QSsl::Pem);
            // A pinned CA that does not parse trusts nothing, never the
            // system store: a null certificate verifies no peer.
            if (cas.isEmpty())
                cas << QSslCertificate();
        }
        // Made here when none was given: no network code runs before the first use.
        auto network = m_network ? std::move(m_network) : std::make_unique<QNetworkAccessManager>();
        m_session = new UpdateSession(
            std::move(network), m_config.server, cas, m_config.temporaryDirectory,
            UpdateSession::Limits{m_config.timings.manifestCap, m_config.namedTransferFiles,
                                  m_config.timings.firstResumeWait});
    }
    return *m_session;
}

void MacUpdater::discardDownload() {
    // Never waits long: the worker may sit in the administrator dialog or in
    // a patch, which the flag and the abandoned tools end. A transfer is
    // discarded in the moment the worker takes for it; what is left after
    // that the next start sweeps.
    m_discarded.store(true);
    abandonRunningTools();
    auto done = std::make_shared<QSemaphore>();
    onWorker([this, done] {
        if (m_session)
            m_session->discardTransfers();
        done->release();
    });
    done->tryAcquire(1, 250);
}

void MacUpdater::onWorker(std::function<void()> work) {
    QMetaObject::invokeMethod(m_workerContext, std::move(work), Qt::QueuedConnection);
}

void MacUpdater::scheduleNextCheck(std::chrono::milliseconds delay) {
    QPointer<MacUpdater> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, delay] {
            if (self)
                self->m_timer->start(delay);
        },
        Qt::QueuedConnection);
}

std::optional<std::chrono::milliseconds> MacUpdater::nextCheckIn() const {
    if (!m_timer->isActive())
        return std::nullopt;
    return std::chrono::milliseconds(m_timer->remainingTime());
}

void MacUpdater::timerFired() {
    if (m_config.isSessionRunning && m_config.isSessionRunning()) {
        scheduleNextCheck(m_config.timings.sessionRetry);
        return;
    }
    QPointer<MacUpdater> self(this);
    checkForUpdates(false, [self](bool) {
        if (self)
            self->scheduleNextCheck(self->m_config.timings.hourly + self->m_config.jitter());
    });
}

void MacUpdater::checkForUpdates(bool manual, CheckCompletion completion) {
    if (QThread::currentThread() != thread()) {
        QPointer<MacUpdater> self(this);
        QMetaObject::invokeMethod(
            this,
            [self, manual, completion] {
                if (self)
                    self->checkForUpdates(manual, completion);
            },
            Qt::QueuedConnection);
        return;
    }
    // Scheduled checks too: a copy replaced under the application offers
    // nothing to install over the one that replaced it.
    if (m_config.isReplaced && m_config.isReplaced()) {
        if (completion)
            completion(false);
        return;
    }
    if (m_config.isSessionRunning && m_config.isSessionRunning()) {
        if (manual)
            setStatusMessage(QStringLiteral("Finish the current session before checking"));
        if (completion)
            completion(false);
        return;
    }
    if (isChecking()) {
        if (completion)
            m_queuedCompletions << completion;
        if (manual)
            m_manualStatusRequested = true;
        return;
    }
    setIsChecking(true);
    m_manualStatusRequested = manual;
    if (completion)
        m_queuedCompletions << completion;

    const auto url = makeUpdateURL(
        manifestAddress(m_config.server) +
            cacheBustingQuery(static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0),
        m_config.server);
    if (!url) {
        finishCheck(false, QStringLiteral("Update check failed"), false);
        return;
    }
    const Checking current{m_config.currentVersion(),
                           m_config.channel ? m_config.channel() : QString()};
    QNetworkRequest request(*url);
    request.setTransferTimeout(static_cast<int>(m_config.timings.manifestTimeout.count()));
    request.setRawHeader("User-Agent", userAgent(current.version));

    onWorker([this, request, current] {
        fetchManifest(request, current, std::chrono::steady_clock::now(),
                      m_config.timings.offlineFirstRetry);
    });
}

void MacUpdater::fetchManifest(const QNetworkRequest& request, const Checking& current,
                               std::chrono::steady_clock::time_point began,
                               std::chrono::milliseconds nextRetry) {
    session().start(
        request, QLatin1String(kManifestTaskDescription),
        [this, request, current, began, nextRetry](TransferResult transfer) {
            using namespace std::chrono;
            const auto left = m_config.timings.offlineWindow -
                              duration_cast<milliseconds>(steady_clock::now() - began);
            if (transfer.unreachable && left > milliseconds(0)) {
                // Still in flight: requests that arrive meanwhile join this check.
                QTimer::singleShot(std::min(nextRetry, left), Qt::PreciseTimer, m_workerContext,
                                   [this, request, current, began, nextRetry] {
                                       fetchManifest(request, current, began, nextRetry * 2);
                                   });
                return;
            }
            const bool answered = !transfer.transportError && transfer.file && transfer.isHttp &&
                                  transfer.status == 200;
            if (!m_config.publicKeys.isEmpty() && answered) {
                fetchSignature(request, current,
                               std::make_shared<TransferResult>(std::move(transfer)));
                return;
            }
            publishCheckResult(handleManifestResponse(transfer, current.version, m_config.server,
                                                      {}, m_config.runningCopy,
                                                      m_config.systemVersion, current.channel));
        });
}

void MacUpdater::fetchSignature(const QNetworkRequest& manifestRequest, const Checking& current,
                                std::shared_ptr<TransferResult> manifest) {
    QNetworkRequest request = manifestRequest;
    QUrl url = request.url();
    url.setPath(url.path() + QStringLiteral(".minisig"));
    request.setUrl(url);
    session().start(request, QLatin1String(kSignatureTaskDescription),
                    [this, current, manifest](TransferResult signature) {
                        std::optional<QString> refusal;
                        const CheckResult result = handleManifestResponse(
                            *manifest, current.version, m_config.server,
                            [&](const QByteArray& bytes) {
                                refusal = trustSignedManifest(signature, bytes);
                                return !refusal;
                            },
                            m_config.runningCopy, m_config.systemVersion, current.channel);
                        publishCheckResult(
                            refusal ? CheckResult{CheckResult::Kind::failed, *refusal, {}, {}, {}}
                                    : result);
                    });
}

std::optional<QString> MacUpdater::trustSignedManifest(const TransferResult& signature,
                                                       const QByteArray& manifest) {
    const auto verdict =
        judgeManifestSignature(signature, manifest, {m_config.publicKeys, m_config.revokedKeys},
                               QDateTime::currentDateTimeUtc());
    if (const auto* refused = std::get_if<SignatureRefusal>(&verdict)) {
        if (!refused->why.isEmpty())
            qWarning("The update manifest is refused: %s.", qPrintable(refused->why));
        return refused->status;
    }
    const TrustedManifest& trusted = std::get<TrustedManifest>(verdict);
    QStringList newly;
    for (const QString& id : trusted.revokes) {
        if (m_config.revokedKeys.contains(id))
            continue;
        qWarning("Key %s is revoked by a manifest signed by key %s: manifests it signs are "
                 "refused from now on.",
                 qPrintable(id), qPrintable(trusted.signer));
        m_config.revokedKeys << id;
        newly << id;
    }
    if (!newly.isEmpty() && m_config.keysRevoked)
        QMetaObject::invokeMethod(
            this, [this, newly] { m_config.keysRevoked(newly); }, Qt::QueuedConnection);
    return std::nullopt;
}

void MacUpdater::publishCheckResult(const CheckResult& result) {
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            OfferDecision decision = decideOffer(
                result,
                {m_config.rolledBackVersion, m_config.rolloutGroup, m_config.targetVersionPrefix},
                m_manualStatusRequested, now());
            // A version this macOS cannot run: said once in the status line
            // even when nobody asked, never as a prompt.
            if (result.kind == CheckResult::Kind::needsNewerSystem &&
                std::exchange(m_saidNeedsNewerSystem, result.version) != result.version)
                decision.quietUnlessManual = false;
            if (decision.offer && !m_config.installable)
                finishCheck(false, updater_errors::notInApplications().message, true);
            else if (decision.offer)
                publishAvailableUpdate(result);
            else
                finishCheck(false, decision.message, decision.clearUpdate,
                            decision.quietUnlessManual);
        },
        Qt::QueuedConnection);
}

void MacUpdater::publishAvailableUpdate(const CheckResult& result) {
    setLatestVersion(result.version);
    setReleaseNotes(result.releaseNotes);
    setDownloadUrl(result.location);
    m_expectedSha256 = result.digest;
    m_updateArchitecture = result.architecture;
    m_patch = result.patch;
    setRequired(result.required, result.requiredReason);
    setHasUpdate(true);
    setStatusMessage(QStringLiteral("Update available"));
    if (m_promptedVersion != result.version) {
        m_promptedVersion = result.version;
        setShouldPresentUpdate(true);
    }
    finishCheck(true, std::nullopt, false);
}

QDateTime MacUpdater::now() const {
    return m_config.now ? m_config.now() : QDateTime::currentDateTimeUtc();
}

void MacUpdater::finishCheck(bool found, const std::optional<QString>& message, bool clearUpdate,
                             bool quietUnlessManual) {
    setIsChecking(false);
    if (clearUpdate) {
        setHasUpdate(false);
        setLatestVersion(QString());
        setReleaseNotes(QString());
        setDownloadUrl(QString());
        m_expectedSha256.clear();
        m_patch.reset();
        setRequired(false, QString());
        setShouldPresentUpdate(false);
    }
    if (message && (m_manualStatusRequested || !quietUnlessManual))
        setStatusMessage(*message);
    m_manualStatusRequested = false;
    const QList<CheckCompletion> completions = std::exchange(m_queuedCompletions, {});
    for (const CheckCompletion& completion : completions)
        completion(found);
}

void MacUpdater::moveToApplications() {
    if (isDownloading() || !m_config.moveToApplications)
        return;
    setStatusMessage(QStringLiteral("Moving to Applications\u2026"));
    onWorker([this] {
        // Handed over, the application quits (finishAndTerminate).
        if (const auto failure = m_config.moveToApplications())
            QMetaObject::invokeMethod(
                this, [this, message = describe(*failure)] { setStatusMessage(message); },
                Qt::QueuedConnection);
    });
}

void MacUpdater::startDownload() {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &MacUpdater::startDownload, Qt::QueuedConnection);
        return;
    }
    if (isDownloading() || m_expectedSha256.size() != 64)
        return;
    const auto url = makeUpdateURL(downloadUrl(), m_config.server);
    if (!url)
        return;
    if (m_config.isSessionRunning && m_config.isSessionRunning()) {
        setStatusMessage(QStringLiteral("Finish the current session before updating"));
        return;
    }
    const Download update{*url,
                          m_expectedSha256,
                          latestVersion(),
                          m_updateArchitecture,
                          m_patch,
                          userAgent(m_config.currentVersion())};
    setShouldPresentUpdate(false);
    setDownloadProgress(0, -1);
    setIsDownloading(true);
    setStatusMessage(QStringLiteral("Downloading\u2026"));
    onWorker([this, update] { download(update); });
}

QNetworkRequest MacUpdater::downloadRequest(const QUrl& url, const Download& update) const {
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_config.timings.downloadTimeout.count()));
    request.setRawHeader("User-Agent", update.userAgent);
    return request;
}

std::function<void(qint64, qint64)> MacUpdater::progressReporter() {
    // Throttled here, so the main thread sees a few updates a second at most.
    auto lastReport = std::make_shared<QElapsedTimer>();
    return [this, lastReport, interval = m_config.timings.progressInterval](qint64 received,
                                                                            qint64 total) {
        if (lastReport->isValid() && lastReport->elapsed() < interval.count() && received != total)
            return;
        lastReport->start();
        QMetaObject::invokeMethod(
            this, [this, received, total] { setDownloadProgress(received, total); },
            Qt::QueuedConnection);
    };
}

void MacUpdater::download(const Download& update) {
    const auto patchUrl =
        update.patch ? makeUpdateURL(update.patch->location, m_config.server) : std::nullopt;
    const QString installed = m_config.installedApplication;
    const bool usable =
        patchUrl && m_config.installPatchedCopy &&
        isPatchUsable(*update.patch, update.version, installed, m_config.patchRefusedVersion);
    if (!usable) {
        downloadImage(update);
        return;
    }
    session().start(
        downloadRequest(*patchUrl, update), QString(),
        [this, update, installed](TransferResult transfer) {
            const PatchOutcome outcome = completePatch(
                std::move(transfer), *update.patch, update.version, update.architecture,
                m_config.server, installed, m_config.temporaryDirectory,
                m_config.installPatchedCopy, &m_discarded);
            if (outcome.kind == PatchOutcome::Kind::declined)
                QMetaObject::invokeMethod(
                    this, [this, line = outcome.line] { finishDownloadWithFailure(line); },
                    Qt::QueuedConnection);
            if (outcome.kind == PatchOutcome::Kind::unusable && !m_discarded.load()) {
                qInfo("The patch was not used (%s); downloading the image.",
                      qPrintable(outcome.line));
                downloadImage(update);
            }
        },
        progressReporter());
}

void MacUpdater::downloadImage(const Download& update) {
    session().start(
        downloadRequest(update.image, update), QString(),
        [this, update](TransferResult transfer) {
            const auto failure = completeDownload(
                std::move(transfer), update.digest, update.version, update.architecture,
                m_config.server, m_config.temporaryDirectory, m_config.installUpdate);
            if (failure)
                QMetaObject::invokeMethod(
                    this, [this, message = *failure] { finishDownloadWithFailure(message); },
                    Qt::QueuedConnection);
        },
        progressReporter());
}

void MacUpdater::finishAndTerminate() {
    setIsDownloading(false);
    setStatusMessage(QStringLiteral("Installing and restarting\u2026"));
    QCoreApplication::quit();
}

void MacUpdater::finishDownloadWithFailure(const QString& message) {
    setIsDownloading(false);
    setStatusMessage(message);
}

} // namespace veldra
