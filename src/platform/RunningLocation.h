#pragma once

#include <QString>

namespace veldra::platform {

// Where this copy runs from, as updating it sees it. Run from the disk image
// it came on, or translocated (quarantined and opened where it was
// downloaded, macOS runs it from a random read-only path), an update would
// land where the user's Dock item never looks.
struct RunningLocation {
    enum class Kind { installed, diskImage, translocated };
    Kind kind = Kind::installed;
    // Where the user put it: a translocated copy's original path, else the
    // bundle's own.
    QString originalPath;
};

[[nodiscard]] RunningLocation runningLocation(const QString& bundlePath);

} // namespace veldra::platform
