#pragma once

#include <QString>

namespace veldra::platform {

// The application bundle ("….app") that holds the running executable. When the
// executable does not sit in Contents/MacOS (a bare build), its own folder.
QString mainBundlePath();

// The bundle path for an executable at the given folder; pure, for tests.
QString bundlePathForExecutableDir(const QString& executableDir);

} // namespace veldra::platform
