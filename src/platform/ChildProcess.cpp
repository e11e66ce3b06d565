#include "platform/ChildProcess.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace veldra::platform {

struct ChildProcess::Shared {
    pid_t pid = -1;
    std::atomic<bool> reaped{false};
    std::mutex mutex;
    std::condition_variable ended;
    Termination termination;
};

namespace {

// A pipe whose ends are not inherited by other children.
int makePipe(int fds[2]) {
#ifdef __linux__
    return ::pipe2(fds, O_CLOEXEC);
#else
    if (::pipe(fds) != 0)
        return -1;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return 0;
#endif
}

QString errorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

ChildProcess::Termination decodeWaitStatus(int status) {
    if (WIFSIGNALED(status))
        return {WTERMSIG(status), ChildProcess::TerminationReason::UncaughtSignal};
    return {WEXITSTATUS(status), ChildProcess::TerminationReason::Exit};
}

// Child-side descriptor for stdout or stderr.
int addOutputAction(posix_spawn_file_actions_t* actions, const ChildProcess::Redirect& redirect,
                    int pipeWriteEnd, int target) {
    using Kind = ChildProcess::Redirect::Kind;
    switch (redirect.kind) {
    case Kind::Inherit:
        return 0;
    case Kind::Descriptor:
        return posix_spawn_file_actions_adddup2(actions, redirect.fd, target);
    case Kind::Pipe:
        return posix_spawn_file_actions_adddup2(actions, pipeWriteEnd, target);
    case Kind::NullDevice:
        break;
    }
    return posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_WRONLY, 0);
}

// libSystem's responsibility_spawnattrs_setdisclaim (macOS 10.14 and later),
// which no public header declares; looked up, so that a system without it
// starts the child as before.
void disclaimResponsibility([[maybe_unused]] posix_spawnattr_t* attributes) {
#ifdef __APPLE__
    using Disclaim = int (*)(posix_spawnattr_t*, int);
    static const auto disclaim =
        reinterpret_cast<Disclaim>(::dlsym(RTLD_DEFAULT, "responsibility_spawnattrs_setdisclaim"));
    if (disclaim)
        disclaim(attributes, 1);
#endif
}

} // namespace

ChildProcess::ChildProcess(QString executable, QStringList arguments)
    : m_executable(std::move(executable)), m_arguments(std::move(arguments)) {}

ChildProcess::~ChildProcess() {
    if (m_inputFd >= 0)
        ::close(m_inputFd);
    if (m_outputFd >= 0)
        ::close(m_outputFd);
}

std::optional<SystemError> ChildProcess::start() {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int fd : {input[0], input[1], output[0], output[1]})
            if (fd >= 0)
                ::close(fd);
    };
    if ((!m_inheritInput && makePipe(input) != 0) ||
        (m_stdout.kind == Redirect::Kind::Pipe && makePipe(output) != 0)) {
        const int code = errno;
        closeAll();
        return SystemError{code, errorText(code)};
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int rc =
        m_inheritInput ? 0 : posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    if (rc == 0)
        rc = addOutputAction(&actions, m_stdout, output[1], STDOUT_FILENO);
    if (rc == 0)
        rc = addOutputAction(&actions, m_stderr, -1, STDERR_FILENO);
    const QByteArray directory = QFile::encodeName(m_workingDirectory);
    if (rc == 0 && !directory.isEmpty())
        rc = posix_spawn_file_actions_addchdir_np(&actions, directory.constData());

    // The child starts with default signal handling and an empty mask,
    // whatever this process has set up for itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    posix_spawnattr_setsigmask(&attributes, &emptyMask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (m_ownResponsibility)
        disclaimResponsibility(&attributes);

    const QByteArray program = QFile::encodeName(m_executable);
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<size_t>(m_arguments.size()) + 1);
    storage.push_back(program);
    for (const QString& argument : m_arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    // A set environment is the child's whole one; otherwise this process's,
    // less what is withheld.
    std::vector<char*> envp;
    QList<QByteArray> environment = m_environment.value_or(QList<QByteArray>());
    for (QByteArray& variable : environment)
        envp.push_back(variable.data());
    for (char** variable = environ; !m_environment && *variable; ++variable) {
        const QByteArray entry(*variable);
        const QByteArray name = entry.left(entry.indexOf('='));
        if (std::none_of(m_withheld.cbegin(), m_withheld.cend(),
                         [&](const QByteArray& prefix) { return name.startsWith(prefix); }))
            envp.push_back(*variable);
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (rc == 0)
        rc =
            posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        closeAll();
        return SystemError{rc, errorText(rc)};
    }
    // Only the child's ends are closed here; ours stay open.
    for (int* fd : {&input[0], &output[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }

    m_inputFd = input[1];
    m_outputFd = output[0];
    m_shared = std::make_shared<Shared>();
    m_shared->pid = pid;

    // Reaping happens on a thread of its own so that nothing here ever has to
    // signal or wait for the child on the caller's thread. The thread is
    // detached: if the application quits first, the child simply outlives it.
    std::thread([shared = m_shared, handler = m_onTermination] {
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(shared->pid, &status, 0);
        } while (result < 0 && errno == EINTR);
        const Termination termination =
            result < 0 ? Termination{-1, TerminationReason::Exit} : decodeWaitStatus(status);
        {
            std::lock_guard lock(shared->mutex);
            shared->termination = termination;
            shared->reaped.store(true);
        }
        shared->ended.notify_all();
        if (handler)
            handler(termination);
    }).detach();
    return std::nullopt;
}

bool ChildProcess::writeAndCloseInput(const QByteArray& bytes) {
    if (m_inputFd < 0)
        return false;
    const int fd = m_inputFd;
    m_inputFd = -1;

    // A child that has already closed its input would raise SIGPIPE. Where
    // the descriptor can say no to it, it does; elsewhere block the signal on
    // this thread for the write and swallow one that this write caused.
#ifdef F_SETNOSIGPIPE
    ::fcntl(fd, F_SETNOSIGPIPE, 1);
#else
    sigset_t pipeSignal, previousMask, pendingBefore;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
#endif

    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    qsizetype written = 0;
    bool broken = false;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        broken = errno == EPIPE;
        break;
    }
    ::close(fd);

#ifndef F_SETNOSIGPIPE
    if (broken && !wasPending) {
        const timespec noWait{0, 0};
        ::sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
#else
    Q_UNUSED(broken);
#endif
    return written == bytes.size();
}

QByteArray ChildProcess::readAllStandardOutput() {
    QByteArray bytes;
    if (m_outputFd < 0)
        return bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_outputFd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(m_outputFd);
    m_outputFd = -1;
    return bytes;
}

ChildProcess::Termination ChildProcess::waitForExit() {
    if (!m_shared)
        return {-1, TerminationReason::Exit};
    std::unique_lock lock(m_shared->mutex);
    m_shared->ended.wait(lock, [&] { return m_shared->reaped.load(); });
    return m_shared->termination;
}

bool ChildProcess::isRunning() const {
    if (!m_shared || m_shared->reaped.load())
        return false;
    // Peek without reaping: the reaper thread owns the wait.
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, static_cast<id_t>(m_shared->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

qint64 ChildProcess::processId() const {
    return m_shared ? m_shared->pid : -1;
}

} // namespace veldra::platform
