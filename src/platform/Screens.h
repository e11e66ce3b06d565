#pragma once

#include <optional>

namespace veldra::platform {

// Usable area of a screen in points, and its device pixels per point.
struct ScreenInfo {
    double visibleWidth = 0;
    double visibleHeight = 0;
    double scale = 1.0;
};

// The first attached screen (index 0 of the screen list), if any.
std::optional<ScreenInfo> firstScreen();

} // namespace veldra::platform
