#pragma once

#include "platform/ChildProcess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace veldra {

enum class ToolOutput { captured, discarded, inherited };
enum class ToolErrors { discarded, inherited };

// One run of a system program, always by absolute path and without a shell.
struct ToolInvocation {
    QString executable;
    QStringList arguments;
    ToolOutput output = ToolOutput::discarded;
    ToolErrors errors = ToolErrors::discarded;
    bool wait = true;
    // Set: the program's whole environment and its working folder, instead
    // of the application's (the administrator path's).
    std::optional<QStringList> environment = {};
    QString workingDirectory = {};
};

struct ToolResult {
    int status = 0;    // exit status (or the signal number); 0 when not waited for
    QByteArray output; // standard output when captured
};

// Starts the program. Waited: blocks until it exits, after reading all of a
// captured output first (so a chatty tool never stalls on a full pipe). Not
// waited: returns at once; the program outlives the application and is reaped
// while the application runs, so it leaves no zombie.
std::variant<ToolResult, platform::SystemError> runTool(const ToolInvocation& invocation);

// The application is quitting: every program a runTool call waits for now
// (the administrator dialog, say) is ended, so that nothing it would do
// happens after the application is gone. Callable from any thread.
void abandonRunningTools();

} // namespace veldra
