#pragma once

#include <QString>

namespace veldra::platform {

// The running macOS version as "major.minor.patch" ("14.6.1"); empty on any
// other system, where no macOS minimum applies.
[[nodiscard]] QString macOSVersion();

} // namespace veldra::platform
