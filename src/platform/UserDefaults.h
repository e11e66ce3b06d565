#pragma once

#include <QSettings>
#include <QString>

#include <memory>

namespace veldra::platform {

// The per-user defaults store of the application: the defaults domain of the
// bundle identifier on macOS, the native per-user settings file elsewhere.
std::unique_ptr<QSettings> openUserDefaults(const QString& bundleIdentifier);

} // namespace veldra::platform
