#pragma once

#include <QList>
#include <QString>

namespace veldra::platform {

// The processes of every user whose executable lies inside `bundlePath`
// (its Contents/MacOS), this one left out.
[[nodiscard]] QList<qint64> processesRunningFrom(const QString& bundlePath);

} // namespace veldra::platform
