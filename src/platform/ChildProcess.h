#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace veldra::platform {

// An error reported by the operating system, with its own message.
struct SystemError {
    int code = 0;
    QString message;
};

// A child process that is started, fed once on standard input and watched, but
// never stopped: destroying this object, or quitting the application, leaves
// the child running (unlike QProcess, whose destructor kills it).
class ChildProcess {
public:
    enum class TerminationReason { Exit, UncaughtSignal };
    struct Termination {
        int status = 0; // exit status, or the signal number
        TerminationReason reason = TerminationReason::Exit;
    };
    // Runs on a thread of its own once the child has ended and been reaped.
    using TerminationHandler = std::function<void(const Termination&)>;

    ChildProcess(QString executable, QStringList arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Descriptors the child gets as standard output and error; -1 means the
    // null device. They are duplicated at start and stay the caller's.
    void setStandardOutput(int fd) { m_stdoutFd = fd; }
    void setStandardError(int fd) { m_stderrFd = fd; }
    void setTerminationHandler(TerminationHandler handler) { m_onTermination = std::move(handler); }

    // Starts the child with a pipe as standard input and the inherited
    // environment and working directory.
    std::optional<SystemError> start();

    // Writes the bytes to the child's standard input, then closes it. A child
    // that has gone or stopped reading costs nothing: no SIGPIPE, no blocking
    // beyond a short grace period. Returns whether every byte was written.
    bool writeAndCloseInput(const QByteArray& bytes);

    bool isRunning() const;
    qint64 processId() const;

private:
    struct Shared;
    QString m_executable;
    QStringList m_arguments;
    int m_stdoutFd = -1;
    int m_stderrFd = -1;
    int m_inputFd = -1;
    TerminationHandler m_onTermination;
    std::shared_ptr<Shared> m_shared;
};

} // namespace veldra::platform
