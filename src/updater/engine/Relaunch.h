#pragma once

#include "platform/ChildProcess.h"
#include "updater/installing/SystemTools.h"

#include <QString>

#include <optional>

namespace veldra {

// Starts the application at `bundlePath` once process `pid` (this one, about
// to quit) has gone, as the user who runs this: a launchd job of the user's
// (`launchctl bootstrap gui/UID`), not a child, so nothing counts it as this
// application's background activity once it has quit. `open` only brings a
// running application forward, and `-n` would start a second one beside it,
// so the job waits for the process first: up to 15 s, after which it starts
// nothing rather than surprise the user later. The job is `label`; its file
// lies in `folder` only until it is loaded.
[[nodiscard]] std::optional<platform::SystemError>
relaunchWhenGone(const SystemTools& tools, const QString& label, const QString& bundlePath,
                 qint64 pid, const QString& folder);

} // namespace veldra
