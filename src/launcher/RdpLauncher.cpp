#include "launcher/RdpLauncher.h"

#include "launcher/ClientCommandLine.h"
#include "launcher/Credentials.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <mutex>
#include <unistd.h>

namespace veldra {

namespace {

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

bool onMainThread() {
    const auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void deliverOnMainThread(const RdpLauncher::Completion& completion, LaunchOutcome outcome) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [completion, outcome = std::move(outcome)] {
            if (completion)
                completion(outcome);
        },
        Qt::QueuedConnection);
}

// Hands a launch's one outcome to the main thread; later calls are dropped.
class FinishOnce {
public:
    explicit FinishOnce(RdpLauncher::Completion completion) : m_completion(std::move(completion)) {}
    void operator()(LaunchOutcome outcome) {
        {
            std::lock_guard lock(m_mutex);
            if (m_finished)
                return;
            m_finished = true;
        }
        deliverOnMainThread(m_completion, std::move(outcome));
    }

private:
    std::mutex m_mutex;
    bool m_finished = false;
    RdpLauncher::Completion m_completion;
};

} // namespace

std::optional<QString> resolveBundledFreeRdpPath(const QString& bundlePath) {
    for (const char* name : {"freerdp", "sdl-freerdp", "sdl3-freerdp"}) {
        const QString candidate =
            bundlePath + QStringLiteral("/Contents/MacOS/") + QLatin1String(name);
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

RdpLauncher::RdpLauncher(Configuration configuration, QObject* parent)
    : QObject(parent), m_config(std::move(configuration)) {}

RdpLauncher::~RdpLauncher() = default;

std::optional<QString> RdpLauncher::bundledFreeRdpPath() {
    if (!m_bundledFreeRdpPath)
        m_bundledFreeRdpPath = resolveBundledFreeRdpPath(m_config.bundlePath());
    return *m_bundledFreeRdpPath;
}

void RdpLauncher::connect(const QString& username, const QString& password, Completion completion) {
    if (!onMainThread()) {
        QMetaObject::invokeMethod(
            this,
            [this, username, password, completion] { connect(username, password, completion); },
            Qt::QueuedConnection);
        return;
    }
    const auto fail = [&](RdpLauncherError error) {
        if (completion)
            completion(LaunchOutcome::failure(std::move(error)));
    };

    if (m_config.isUpdateDownloading && m_config.isUpdateDownloading())
        return fail(RdpLauncherError::invalidCredentials(
            QStringLiteral("Wait for the application update to finish.")));
    if (isSessionRunning())
        return fail(RdpLauncherError::sessionAlreadyActive());

    const QString user = trimWhitespace(username);
    if (user.isEmpty() || userPerceivedLength(user) > kMaxCredentialLength ||
        containsControlCharacters(user))
        return fail(RdpLauncherError::invalidCredentials(
            QStringLiteral("The username contains unsupported characters.")));
    if (password.isEmpty() || userPerceivedLength(password) > kMaxCredentialLength ||
        containsControlCharacters(password))
        return fail(RdpLauncherError::invalidCredentials(
            QStringLiteral("The password contains unsupported characters.")));

    const SplitUsername split = splitUsername(user);

    std::optional<QString> path = bundledFreeRdpPath();
    if (!path || !isExecutableFile(*path)) {
        m_bundledFreeRdpPath = resolveBundledFreeRdpPath(m_config.bundlePath());
        path = *m_bundledFreeRdpPath;
    }
    if (!path) {
        deliverOnMainThread(completion, LaunchOutcome::failure(RdpLauncherError::freeRdpMissing()));
        return;
    }
    launchFreeRdp(*path, split.user, split.domain, password, std::move(completion));
}

void RdpLauncher::launchFreeRdp(const QString& path, const QString& user,
                                const std::optional<QString>& domain, const QString& password,
                                Completion completion) {
    const QStringList arguments =
        clientArguments(m_config.serverHost, user, domain,
                        displayArguments(m_config.screen ? m_config.screen() : std::nullopt));
    auto process = std::make_shared<platform::ChildProcess>(path, arguments);
    // FreeRDP and its logger take orders from the environment: FREERDP_ASKPASS
    // would ask another program for the password and ignore standard input,
    // and WLOG_* can write protocol detail, credentials too, anywhere. None
    // of the user's reach the client.
    process->setWithheldEnvironment({QByteArrayLiteral("FREERDP_"), QByteArrayLiteral("WLOG_")});
    // The session outlives the application, so it must not count as the
    // application's background activity, which a user may stop or block.
    process->setOwnResponsibility(true);

    const ClientLog log(m_config.logFilePath());
    auto opened = std::make_shared<OpenedLog>(log.openLogFile(arguments));
    using Redirect = platform::ChildProcess::Redirect;
    process->setStandardOutput(Redirect::descriptor(opened->handle.fd()));
    process->setStandardError(Redirect::descriptor(opened->handle.fd()));

    auto finishOnce = std::make_shared<FinishOnce>(std::move(completion));
    QPointer<RdpLauncher> weakSelf(this);
    std::weak_ptr<platform::ChildProcess> weakProcess = process;

    process->setTerminationHandler([opened, log, weakSelf, weakProcess,
                                    finishOnce](const platform::ChildProcess::Termination& end) {
        opened->handle.synchronizeAndClose();
        QString detail = log.recentClientOutput(opened->startOffset);

        // activeProcess belongs to the main thread; clear it there, and only if
        // it is still this very client.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weakSelf, weakProcess] {
                const auto ended = weakProcess.lock();
                if (weakSelf && ended && weakSelf->m_activeProcess == ended)
                    weakSelf->setActiveProcess(nullptr);
            },
            Qt::QueuedConnection);

        const bool cleanExit =
            end.status == 0 && end.reason == platform::ChildProcess::TerminationReason::Exit;
        if (cleanExit && detail.isEmpty())
            detail = QStringLiteral("The client closed before the session opened.");
        (*finishOnce)(LaunchOutcome::failure(RdpLauncherError::launchFailed(end.status, detail)));
    });

    if (auto error = process->start()) {
        opened->handle.close();
        (*finishOnce)(LaunchOutcome::failure(*error));
        return;
    }
    process->writeAndCloseInput((password + QLatin1Char('\n')).toUtf8());
    setActiveProcess(process);

    // Precise: a coarse timer may fire up to 5 % early and call a client that
    // is about to die an opened session.
    QTimer::singleShot(m_config.openedAfter, Qt::PreciseTimer, QCoreApplication::instance(),
                       [process, finishOnce] {
                           if (process->isRunning())
                               (*finishOnce)(LaunchOutcome::success());
                       });
}

void RdpLauncher::setActiveProcess(std::shared_ptr<platform::ChildProcess> process) {
    if (m_activeProcess == process)
        return;
    m_activeProcess = std::move(process);
    Q_EMIT activeProcessChanged();
}

} // namespace veldra
