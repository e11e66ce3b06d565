#include "updater/MacUpdater.h"

#include "updater/Installer.h"
#include "updater/Sha256.h"
#include "updater/Version.h"
#include "updater/patches/BundlePatch.h"
#include "updater/patches/TreeDigest.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QUuid>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace veldra {

namespace {

CheckResult failed(const char* message) {
    return {CheckResult::Kind::failed, QString::fromLatin1(message), {}, {}, {}};
}

std::optional<qint64> fileSize(const QString& path, int* error = nullptr) {
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    return static_cast<qint64>(info.st_size);
}

bool isFailedTransfer(const TransferResult& t, const UpdateServer& server) {
    return !t.file || t.transportError || !t.isHttp || t.status != 200 ||
           !isAllowedUpdateURL(t.finalUrl, server) || t.declaredLength > kMaxImageBytes;
}

// The SHA-256 of a received file: taken while the bytes were written, read
// back only if it was not.
std::variant<QString, platform::SystemError> receivedDigest(const TransferResult& t) {
    if (t.sha256)
        return *t.sha256;
    return sha256Hex(t.file->fileName());
}

} // namespace

std::optional<QString> completeDownload(TransferResult transfer, const QString& expectedDigest,
                                        const QString& expectedVersion,
                                        platform::Architecture architecture,
                                        const UpdateServer& server,
                                        const QString& temporaryDirectory,
                                        const MacUpdater::InstallStep& install) {
    if (isFailedTransfer(transfer, server))
        return QStringLiteral("Download failed");
    const QString received = transfer.file->fileName();
    int error = 0;
    const auto size = fileSize(received, &error);
    if (!size)
        return QString::fromLocal8Bit(std::strerror(error));
    if (!isAcceptableImageSize(*size))
        return updater_errors::invalidSize().localizedDescription();

    const auto digest = receivedDigest(transfer);
    if (const auto* failure = std::get_if<platform::SystemError>(&digest))
        return failure->message;
    if (std::get<QString>(digest) != expectedDigest)
        return updater_errors::integrityCheckFailed().localizedDescription();

    const QString image = verifiedImagePath(temporaryDirectory);
    if (!transfer.file->rename(image))
        return transfer.file->errorString();
    // From here the image is ours to remove on failure.
    transfer.file->setAutoRemove(false);
    transfer.file.reset();

    const auto failure = install ? install(image, expectedVersion, architecture, expectedDigest)
                                 : std::optional<UpdateFailure>(platform::SystemError{
                                       ENOSYS, QStringLiteral("No installer is configured.")});
    if (!failure)
        return std::nullopt;
    QFile::remove(image);
    return describe(*failure);
}

PatchOutcome completePatch(TransferResult transfer, const PatchOffer& offer,
                           const QString& expectedVersion, platform::Architecture architecture,
                           const UpdateServer& server, const QString& installedApplication,
                           const QString& temporaryDirectory,
                           const MacUpdater::PatchedInstallStep& install) {
    const auto unusable = [](const QString& why) {
        return PatchOutcome{PatchOutcome::Kind::unusable, why};
    };
    if (isFailedTransfer(transfer, server))
        return unusable(QStringLiteral("The patch could not be downloaded."));
    const QString patch = transfer.file->fileName();
    if (fileSize(patch) != offer.size)
        return unusable(QStringLiteral("The patch is not of the size the manifest gives."));
    const auto digest = receivedDigest(transfer);
    if (!std::holds_alternative<QString>(digest) || std::get<QString>(digest) != offer.digest)
        return unusable(QStringLiteral("The patch does not have the digest the manifest gives."));

    const QString folder = temporaryDirectory + QStringLiteral("/VeldraCloudDesktop-") +
                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                           QStringLiteral(".patched");
    const QString application = folder + QLatin1Char('/') + QLatin1String(kBundleFileName);
    if (!QDir().mkdir(folder))
        return unusable(QStringLiteral("No folder for the patched copy."));
    const auto applied = applyBundlePatch(patch, installedApplication, application);
    transfer.file.reset();
    PatchOutcome outcome{PatchOutcome::Kind::handedOver};
    std::optional<UpdateFailure> refused;
    if (const auto* problem = std::get_if<PatchProblem>(&applied))
        outcome = unusable(problem->message);
    else if (std::get<PatchHeader>(applied).sourceTree != offer.sourceTree ||
             std::get<PatchHeader>(applied).resultTree != offer.resultTree)
        outcome = unusable(QStringLiteral("The patch is not the one the manifest gives."));
    else if (!install)
        outcome = unusable(QStringLiteral("No installer is configured."));
    else if ((refused =
                  install(application, folder, expectedVersion, architecture, offer.resultTree)))
        // Asking again for the image would only ask the user again.
        outcome = {std::get_if<UpdaterError>(&*refused) && *std::get_if<UpdaterError>(&*refused) ==
                                                               updater_errors::approvalNotGranted()
                       ? PatchOutcome::Kind::declined
                       : PatchOutcome::Kind::unusable,
                   describe(*refused)};
    if (outcome.kind != PatchOutcome::Kind::handedOver)
        removeBundleCopy(folder);
    return outcome;
}

QString verifiedImagePath(const QString& temporaryDirectory) {
    return temporaryDirectory + QStringLiteral("/VeldraCloudDesktop-") +
           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".dmg");
}

QString cacheBustingQuery(double secondsSinceEpoch) {
    QString number = QString::number(secondsSinceEpoch, 'f', QLocale::FloatingPointShortest);
    if (!number.contains(QLatin1Char('.')))
        number += QStringLiteral(".0");
    return QStringLiteral("?t=") + number;
}

CheckResult handleManifestResponse(const TransferResult& t, const QString& currentVersion,
                                   const UpdateServer& server,
                                   const std::function<bool(const QByteArray&)>& acceptBody,
                                   platform::RunningCopy copy, const QString& systemVersion) {
    if (t.transportError || !t.file || !t.isHttp || t.status != 200 ||
        !isAllowedUpdateURL(t.finalUrl, server))
        return failed("Update check failed");
    const auto size = fileSize(t.file->fileName());
    if (!size)
        return failed("Invalid update response");
    if (!isAcceptableManifestSize(*size))
        return failed("Invalid update response size");
    QFile file(t.file->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return failed("Invalid update response");
    const QByteArray bytes = file.read(kMaxManifestBytes + 1);
    if (bytes.size() != *size)
        return failed("Invalid update response");
    if (acceptBody && !acceptBody(bytes))
        return failed("Invalid update signature");
    const auto manifest = MacUpdateManifest::decode(bytes);
    if (!manifest)
        return failed("Invalid update response");
    const ManifestVerdict verdict =
        evaluateManifest(*manifest, currentVersion, server, copy, systemVersion);
    switch (verdict.outcome) {
    case ManifestVerdict::Outcome::upToDate:
        return {CheckResult::Kind::upToDate, verdict.message(), {}, {}, {}};
    case ManifestVerdict::Outcome::needsNewerSystem:
        return {CheckResult::Kind::needsNewerSystem, verdict.message(), verdict.version, {}, {}};
    case ManifestVerdict::Outcome::updateAvailable:
        return {CheckResult::Kind::available,
                {},
                verdict.version,
                verdict.location,
                verdict.digest,
                verdict.architecture,
                verdict.rollout,
                verdict.patch};
    default:
        return {CheckResult::Kind::failed, verdict.message(), {}, {}, {}};
    }
}

std::optional<QString> judgeManifestSignature(const TransferResult& signature,
                                              const QByteArray& manifest, const MinisignKey& key,
                                              const QDateTime& now) {
    // No answer at all fails as the manifest would; any HTTP error means
    // there is no signature.
    const QString invalid = QStringLiteral("Invalid update signature");
    if (!signature.isHttp)
        return QStringLiteral("Update check failed");
    if (signature.status != 200)
        return invalid;
    if (signature.transportError || !signature.file)
        return QStringLiteral("Update check failed");
    QFile file(signature.file->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return invalid;
    if (verifyMinisign(manifest, file.read(kMaxSignatureBytes + 1), key))
        return invalid;
    const auto expires = manifestExpiry(manifest);
    if (!expires || *expires <= now)
        return invalid;
    return std::nullopt;
}

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
    onWorker([directory = m_config.temporaryDirectory] { removeUpdateLeftovers(directory); });

    if (m_config.announceRollBack && !m_config.rolledBackVersion.isEmpty())
        setStatusMessage(rolledBackMessage(m_config.rolledBackVersion));
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
    QMetaObject::invokeMethod(
        m_workerContext,
        [this] {
            m_discarded = true;
            if (m_session)
                m_session->discardTransfers();
        },
        Qt::BlockingQueuedConnection);
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
    const QString current = m_config.currentVersion();
    QNetworkRequest request(*url);
    request.setTransferTimeout(static_cast<int>(m_config.timings.manifestTimeout.count()));
    request.setRawHeader("User-Agent", userAgent(current));

    onWorker([this, request, current] {
        fetchManifest(request, current, std::chrono::steady_clock::now(),
                      m_config.timings.offlineFirstRetry);
    });
}

void MacUpdater::fetchManifest(const QNetworkRequest& request, const QString& current,
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
            if (m_config.publicKey && answered) {
                fetchSignature(request, current,
                               std::make_shared<TransferResult>(std::move(transfer)));
                return;
            }
            publishCheckResult(handleManifestResponse(transfer, current, m_config.server, {},
                                                      m_config.runningCopy,
                                                      m_config.systemVersion));
        });
}

void MacUpdater::fetchSignature(const QNetworkRequest& manifestRequest, const QString& current,
                                std::shared_ptr<TransferResult> manifest) {
    QNetworkRequest request = manifestRequest;
    QUrl url = request.url();
    url.setPath(url.path() + QStringLiteral(".minisig"));
    request.setUrl(url);
    session().start(
        request, QLatin1String(kSignatureTaskDescription),
        [this, current, manifest](TransferResult signature) {
            std::optional<QString> refusal;
            const CheckResult result = handleManifestResponse(
                *manifest, current, m_config.server,
                [&](const QByteArray& bytes) {
                    refusal = judgeManifestSignature(signature, bytes, *m_config.publicKey,
                                                     QDateTime::currentDateTimeUtc());
                    return !refusal;
                },
                m_config.runningCopy, m_config.systemVersion);
            publishCheckResult(
                refusal ? CheckResult{CheckResult::Kind::failed, *refusal, {}, {}, {}} : result);
        });
}

void MacUpdater::publishCheckResult(const CheckResult& result) {
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            switch (result.kind) {
            case CheckResult::Kind::available:
                if (!m_config.rolledBackVersion.isEmpty() &&
                    isSameVersion(result.version, m_config.rolledBackVersion)) {
                    finishCheck(false, rolledBackMessage(result.version), false, true);
                    break;
                }
                // Not yet this copy's turn: an automatic check says nothing,
                // and whatever was known stays as it was.
                if (!isOfferedNow(result.rollout, m_manualStatusRequested, m_config.rolloutGroup,
                                  now())) {
                    finishCheck(false, std::nullopt, false);
                    break;
                }
                publishAvailableUpdate(result);
                break;
            case CheckResult::Kind::upToDate:
                finishCheck(false, QStringLiteral("Up to date"), true, true);
                break;
            case CheckResult::Kind::needsNewerSystem:
                finishCheck(false, result.message, true, true);
                break;
            case CheckResult::Kind::failed:
                finishCheck(false, result.message, false);
                break;
            }
        },
        Qt::QueuedConnection);
}

void MacUpdater::publishAvailableUpdate(const CheckResult& result) {
    setLatestVersion(result.version);
    setDownloadUrl(result.location);
    m_expectedSha256 = result.digest;
    m_updateArchitecture = result.architecture;
    m_patch = result.patch;
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

bool isOfferedNow(const std::optional<Rollout>& rollout, bool manual, int group,
                  const QDateTime& now) {
    return manual || !rollout || now >= rollout->availableFrom(group);
}

void MacUpdater::finishCheck(bool found, const std::optional<QString>& message, bool clearUpdate,
                             bool quietUnlessManual) {
    setIsChecking(false);
    if (clearUpdate) {
        setHasUpdate(false);
        setLatestVersion(QString());
        setDownloadUrl(QString());
        m_expectedSha256.clear();
        m_patch.reset();
        setShouldPresentUpdate(false);
    }
    if (message && (m_manualStatusRequested || !quietUnlessManual))
        setStatusMessage(*message);
    m_manualStatusRequested = false;
    const QList<CheckCompletion> completions = std::exchange(m_queuedCompletions, {});
    for (const CheckCompletion& completion : completions)
        completion(found);
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
    // Only onto exactly the bundle the patch was made from: anything changed
    // in the installed copy, and the image it is.
    const auto usable = [&] {
        if (!patchUrl || !m_config.installPatchedCopy || installed.isEmpty() ||
            isSameVersion(update.version, m_config.patchRefusedVersion))
            return false;
        const auto tree = treeDigest(installed);
        return std::holds_alternative<QString>(tree) &&
               std::get<QString>(tree) == update.patch->sourceTree;
    };
    if (!usable()) {
        downloadImage(update);
        return;
    }
    session().start(
        downloadRequest(*patchUrl, update), QString(),
        [this, update, installed](TransferResult transfer) {
            const PatchOutcome outcome =
                completePatch(std::move(transfer), *update.patch, update.version,
                              update.architecture, m_config.server, installed,
                              m_config.temporaryDirectory, m_config.installPatchedCopy);
            if (outcome.kind == PatchOutcome::Kind::declined)
                QMetaObject::invokeMethod(
                    this, [this, line = outcome.line] { finishDownloadWithFailure(line); },
                    Qt::QueuedConnection);
            if (outcome.kind == PatchOutcome::Kind::unusable && !m_discarded) {
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

QByteArray userAgent(const QString& version) {
    return QByteArrayLiteral("VeldraCloudDesktop-MacUpdater/") + version.toUtf8();
}

bool isAcceptableImageSize(qint64 size) {
    return size > kMinImageBytes && size <= kMaxImageBytes;
}

} // namespace veldra
