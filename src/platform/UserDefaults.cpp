#include "platform/UserDefaults.h"

#include <QDir>

namespace veldra::platform {

std::unique_ptr<QSettings> openUserDefaults(const QString& bundleIdentifier) {
#ifdef Q_OS_MACOS
    return std::make_unique<QSettings>(QDir::homePath() + QStringLiteral("/Library/Preferences/") +
                                           bundleIdentifier + QStringLiteral(".plist"),
                                       QSettings::NativeFormat);
#else
    // ~/.config/<bundle id>.conf
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       bundleIdentifier);
#endif
}

} // namespace veldra::platform
