#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
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

    // Where an output stream of the child goes. A file descriptor is
    // duplicated at start and stays the caller's.
    struct Redirect {
        enum class Kind { NullDevice, Inherit, Descriptor, Pipe };
        Kind kind = Kind::NullDevice;
        int fd = -1;
        static Redirect nullDevice() { return {}; }
        static Redirect inherit() { return {Kind::Inherit, -1}; }
        static Redirect pipe() { return {Kind::Pipe, -1}; }
        // A negative descriptor means the null device.
        static Redirect descriptor(int fd) {
            return fd >= 0 ? Redirect{Kind::Descriptor, fd} : Redirect{};
        }
    };
    void setStandardOutput(Redirect redirect) { m_stdout = redirect; }
    void setStandardError(Redirect redirect) { m_stderr = redirect; }
    // By default the child reads from a pipe fed by writeAndCloseInput; when
    // inherited it shares this process's standard input.
    void setInheritStandardInput(bool inherit) { m_inheritInput = inherit; }
    // Variables whose names start with one of these are left out of the
    // environment the child inherits.
    void setWithheldEnvironment(QList<QByteArray> namePrefixes) {
        m_withheld = std::move(namePrefixes);
    }
    // The child's whole environment ("NAME=VALUE" each) instead of this
    // process's, and the folder it starts in instead of this one's.
    void setEnvironment(QList<QByteArray> variables) { m_environment = std::move(variables); }
    void setWorkingDirectory(QString directory) { m_workingDirectory = std::move(directory); }
    void setTerminationHandler(TerminationHandler handler) { m_onTermination = std::move(handler); }
    // On macOS the child becomes its own responsible process: the system no
    // longer counts it as this application's background activity (macOS 26
    // and later offer to stop that, and to block it), and it asks for its
    // own privacy permissions, with its own usage descriptions.
    void setOwnResponsibility(bool own) { m_ownResponsibility = own; }

    // Starts the child with a pipe as standard input and, unless set, the
    // inherited environment and working directory.
    std::optional<SystemError> start();

    // Writes the bytes to the child's standard input, then closes it. A child
    // that has gone or stopped reading costs nothing: no SIGPIPE, no blocking
    // beyond a short grace period. Returns whether every byte was written.
    bool writeAndCloseInput(const QByteArray& bytes);

    // Reads a captured standard output (Redirect::pipe) to its end.
    QByteArray readAllStandardOutput();

    // Blocks until the child has ended; its termination.
    Termination waitForExit();

    bool isRunning() const;
    qint64 processId() const;

private:
    struct Shared;
    QString m_executable;
    QStringList m_arguments;
    Redirect m_stdout;
    Redirect m_stderr;
    bool m_inheritInput = false;
    bool m_ownResponsibility = false;
    QList<QByteArray> m_withheld;
    std::optional<QList<QByteArray>> m_environment;
    QString m_workingDirectory;
    int m_inputFd = -1;
    int m_outputFd = -1;
    TerminationHandler m_onTermination;
    std::shared_ptr<Shared> m_shared;
};

} // namespace veldra::platform
