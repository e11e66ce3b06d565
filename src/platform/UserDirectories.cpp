#include "platform/UserDirectories.h"

#include <QDir>

namespace veldra::platform {

QString userLibraryDirectory() {
#ifdef Q_OS_MACOS
    return QDir::homePath() + QStringLiteral("/Library");
#else
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG rules ignore relative paths.
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return QDir::cleanPath(state);
    return QDir::homePath() + QStringLiteral("/.local/state");
#endif
}

} // namespace veldra::platform
