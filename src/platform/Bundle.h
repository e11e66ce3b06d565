#pragma once

#include <QString>

namespace veldra::platform {

// The application bundle ("….app") that holds the running executable. When the
// executable does not sit in Contents/MacOS (a bare build), its own folder.
QString mainBundlePath();

// The bundle path for an executable at the given folder; pure, for tests.
QString bundlePathForExecutableDir(const QString& executableDir);

// The bundle's file name, on the image and where it is installed.
inline constexpr auto kBundleFileName = "Veldra Cloud Desktop.app";

} // namespace veldra::platform
