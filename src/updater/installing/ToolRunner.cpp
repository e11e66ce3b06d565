#include "updater/installing/ToolRunner.h"

#include <QDir>

#include <cerrno>

namespace veldra {

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
    if (auto error = process.start())
        return *error;

    ToolResult result;
    if (invocation.output == ToolOutput::captured)
        result.output = process.readAllStandardOutput();
    if (invocation.wait)
        result.status = process.waitForExit().status;
    return result;
}

} // namespace veldra
