#include "updater/engine/Relaunch.h"

#include "platform/LaunchdJob.h"

#include <QTemporaryFile>

#include <cerrno>
#include <variant>

#include <unistd.h>

namespace veldra {

namespace {

// Runs a program to its end: its exit status, or why it did not start. Not
// runTool: that lives in the install stage, which the application does not link.
std::variant<int, platform::SystemError> run(const QString& program, const QStringList& arguments) {
    platform::ChildProcess process(program, arguments);
    process.setInheritStandardInput(true);
    process.setStandardError(platform::ChildProcess::Redirect::inherit());
    if (auto error = process.start())
        return *error;
    return process.waitForExit().status;
}

} // namespace

std::optional<platform::SystemError> relaunchWhenGone(const SystemTools& tools,
                                                      const QString& label,
                                                      const QString& bundlePath, qint64 pid,
                                                      const QString& folder) {
    // launchd keeps an ended job loaded, which would hold the label of an
    // earlier relaunch.
    (void)run(tools.launchctl, {QStringLiteral("remove"), label});
    // Every path is an argument, never part of the script's text.
    const QString wait = QStringLiteral(
        "n=0; while \"$1\" -0 \"$3\" 2>/dev/null; do n=$((n + 1)); [ $n -le 150 ] || exit 1; "
        "\"$2\" 0.1; done; exec \"$4\" \"$5\"");
    QTemporaryFile file(folder + QStringLiteral("/veldra-relaunch-XXXXXX.plist"));
    if (!file.open() ||
        file.write(platform::launchdJob(
            label, {tools.zsh, QStringLiteral("--emulate"), QStringLiteral("sh"),
                    QStringLiteral("-f"), QStringLiteral("-c"), wait, QStringLiteral("relaunch"),
                    tools.kill, tools.sleep, QString::number(pid), tools.open, bundlePath})) < 0 ||
        !file.flush())
        return platform::SystemError{EIO, file.errorString()};
    const auto loaded =
        run(tools.launchctl, {QStringLiteral("bootstrap"), QStringLiteral("gui/%1").arg(::getuid()),
                              file.fileName()});
    if (const auto* error = std::get_if<platform::SystemError>(&loaded))
        return *error;
    if (const int status = std::get<int>(loaded); status != 0)
        return platform::SystemError{
            EIO, QStringLiteral("launchctl bootstrap ended with status %1.").arg(status)};
    return std::nullopt;
}

} // namespace veldra
