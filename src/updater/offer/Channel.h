#pragma once

namespace veldra {

// The one channel a copy may take besides a manifest's default entry: its
// entry under "channels", a newer version for those who asked to try it.
inline constexpr auto kBetaChannel = "beta";

} // namespace veldra
