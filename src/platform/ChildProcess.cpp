#include "platform/ChildProcess.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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
};

namespace {

QString errorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

ChildProcess::Termination decodeWaitStatus(int status) {
    if (WIFSIGNALED(status))
        return {WTERMSIG(status), ChildProcess::TerminationReason::UncaughtSignal};
    return {WEXITSTATUS(status), ChildProcess::TerminationReason::Exit};
}

// Child-side descriptor for stdout or stderr: the given one, or the null device.
int addOutputAction(posix_spawn_file_actions_t* actions, int fd, int target) {
    if (fd >= 0)
        return posix_spawn_file_actions_adddup2(actions, fd, target);
    return posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_WRONLY, 0);
}

} // namespace

ChildProcess::ChildProcess(QString executable, QStringList arguments)
    : m_executable(std::move(executable)), m_arguments(std::move(arguments)) {}

ChildProcess::~ChildProcess() {
    if (m_inputFd >= 0)
        ::close(m_inputFd);
}

std::optional<SystemError> ChildProcess::start() {
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        const int code = errno;
        return SystemError{code, errorText(code)};
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int rc = posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    if (rc == 0)
        rc = addOutputAction(&actions, m_stdoutFd, STDOUT_FILENO);
    if (rc == 0)
        rc = addOutputAction(&actions, m_stderrFd, STDERR_FILENO);

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

    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[0]);
    if (rc != 0) {
        ::close(input[1]);
        return SystemError{rc, errorText(rc)};
    }

    m_inputFd = input[1];
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
        shared->reaped.store(true);
        const Termination termination =
            result < 0 ? Termination{-1, TerminationReason::Exit} : decodeWaitStatus(status);
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

    // A child that has already closed its input would raise SIGPIPE. Block it
    // on this thread for the write and swallow one that this write caused.
    sigset_t pipeSignal, previousMask, pendingBefore;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;

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

    if (broken && !wasPending) {
        const timespec noWait{0, 0};
        ::sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return written == bytes.size();
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
