#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace veldra::platform {

// The launchd job (launchd.plist(5)) that runs `programArguments` once when
// loaded, as a job of its own: not a child of the application, so that
// nothing the user or the system does to the application's processes
// reaches it, and whatever it starts outlives it.
[[nodiscard]] QByteArray launchdJob(const QString& label, const QStringList& programArguments);

} // namespace veldra::platform
