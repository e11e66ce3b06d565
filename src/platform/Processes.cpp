#include "platform/Processes.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace veldra::platform {

// Linux: each process's executable, as /proc shows it (other users' too).
QList<qint64> processesRunningFrom(const QString& bundlePath) {
    const QString inside = QDir::cleanPath(bundlePath) + QStringLiteral("/Contents/MacOS/");
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == ::getpid())
            continue;
        const QString executable =
            QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (executable.startsWith(inside))
            found << pid;
    }
    return found;
}

} // namespace veldra::platform
