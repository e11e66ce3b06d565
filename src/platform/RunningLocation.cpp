#include "platform/RunningLocation.h"

namespace veldra::platform {

// No disk images or translocation off the Mac: the paths macOS would use.
RunningLocation runningLocation(const QString& bundlePath) {
    if (bundlePath.startsWith(QLatin1String("/Volumes/")))
        return {RunningLocation::Kind::diskImage, bundlePath};
    if (bundlePath.contains(QLatin1String("/AppTranslocation/")))
        return {RunningLocation::Kind::translocated, bundlePath};
    return {RunningLocation::Kind::installed, bundlePath};
}

} // namespace veldra::platform
