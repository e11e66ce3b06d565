#include "updater/installing/ToolRunner.h"

#include <QDir>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <set>

namespace veldra {

namespace {

// The programs runTool waits for now.
std::mutex waitedMutex;
std::set<qint64>& waited() {
    static std::set<qint64> pids;
    return pids;
}
// Counts abandonments, so that a program being started while one happens is
// ended as soon as it is known, not left behind (a dialog staying up).
unsigned abandonments = 0;

} // namespace

void abandonRunningTools() {
    const std::lock_guard lock(waitedMutex);
    ++abandonments;
    for (const qint64 pid : waited())
        ::kill(static_cast<pid_t>(pid), SIGTERM);
}

std::variant<ToolResult, platform::SystemError> runTool(const ToolInvocation& invocation) {
    using Redirect = platform::ChildProcess::Redirect;
    if (!QDir::isAbsolutePath(invocation.executable))
        return platform::SystemError{
            EINVAL, QStringLiteral("%1 is not an absolute path.").arg(invocation.executable)};

    platform::ChildProcess process(invocation.executable, invocation.arguments);
    process.setInheritStandardInput(true);
    switch (invocation.output) {
    case ToolOutput::captured:
        process.setStandardOutput(Redirect::pipe());
        break;
    case ToolOutput::discarded:
        process.setStandardOutput(Redirect::nullDevice());
        break;
    case ToolOutput::inherited:
        process.setStandardOutput(Redirect::inherit());
        break;
    }
    process.setStandardError(invocation.errors == ToolErrors::inherited ? Redirect::inherit()
                                                                        : Redirect::nullDevice());
    if (invocation.environment) {
        QList<QByteArray> environment;
        for (const QString& variable : *invocation.environment)
            environment << variable.toUtf8();
        process.setEnvironment(environment);
    }
    process.setWorkingDirectory(invocation.workingDirectory);
    unsigned abandonmentsBefore = 0;
    if (invocation.wait) {
        const std::lock_guard lock(waitedMutex);
        abandonmentsBefore = abandonments;
    }
    if (auto error = process.start())
        return *error;

    if (invocation.wait) {
        const std::lock_guard lock(waitedMutex);
        waited().insert(process.processId());
        if (abandonments != abandonmentsBefore)
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    }
    ToolResult result;
    if (invocation.output == ToolOutput::captured)
        result.output = process.readAllStandardOutput();
    if (invocation.wait) {
        result.status = process.waitForExit().status;
        const std::lock_guard lock(waitedMutex);
        waited().erase(process.processId());
    }
    return result;
}

} // namespace veldra
