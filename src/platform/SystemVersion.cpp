#include "platform/SystemVersion.h"

#include <QOperatingSystemVersion>

#include <algorithm>

namespace veldra::platform {

QString macOSVersion() {
    const QOperatingSystemVersion current = QOperatingSystemVersion::current();
    if (current.type() != QOperatingSystemVersion::MacOS)
        return QString();
    // Qt answers -1 for a part the system does not report; a missing part
    // reads as 0 ("15" is 15.0.0).
    return QStringLiteral("%1.%2.%3")
        .arg(current.majorVersion())
        .arg(std::max(current.minorVersion(), 0))
        .arg(std::max(current.microVersion(), 0));
}

} // namespace veldra::platform
