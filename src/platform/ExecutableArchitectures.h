#pragma once

#include "platform/Architecture.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace veldra::platform {

// How much of a file the readers look at: a fat header with the largest arch
// table we accept (64 fat_arch_64 entries) fits well inside.
inline constexpr qsizetype kExecutableHeadSize = 4096;

// The architectures of ours an executable carries, read from its first bytes
// (thin or fat Mach-O; ELF too on Linux, where the demo bundles hold Linux
// programs). We read headers rather than ask lipo, which is only a stub on a
// Mac without the developer tools. Each architecture appears once, in file
// order; anything malformed, truncated or foreign gives an empty list.
[[nodiscard]] QList<Architecture> executableArchitectures(const QByteArray& head);

// The same for a file on disk; nullopt when it cannot be read.
[[nodiscard]] std::optional<QList<Architecture>> executableArchitecturesOfFile(const QString& path);

} // namespace veldra::platform
