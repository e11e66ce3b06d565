#pragma once

#include <QString>

namespace veldra::platform {

// Where per-user application data such as logs lives: ~/Library on macOS;
// elsewhere the XDG state directory ($XDG_STATE_HOME, default ~/.local/state).
QString userLibraryDirectory();

} // namespace veldra::platform
