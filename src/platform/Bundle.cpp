#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>

namespace veldra::platform {

QString bundlePathForExecutableDir(const QString& executableDir) {
    const QString clean = QDir::cleanPath(executableDir);
    const QString suffix = QStringLiteral("/Contents/MacOS");
    if (clean.endsWith(suffix)) {
        const QString bundle = clean.chopped(suffix.size());
        if (bundle.endsWith(QStringLiteral(".app")))
            return bundle;
    }
    return clean;
}

QString mainBundlePath() {
    return bundlePathForExecutableDir(QCoreApplication::applicationDirPath());
}

} // namespace veldra::platform
