#include "platform/Processes.h"

#include <QDir>
#include <QFile>

#include <libproc.h>
#include <unistd.h>

#include <vector>

namespace veldra::platform {

// Every process's executable path, other users' included: proc_pidpath needs
// no privilege, unlike ps, which shows others' commands without their paths.
QList<qint64> processesRunningFrom(const QString& bundlePath) {
    const QByteArray inside =
        QFile::encodeName(QDir::cleanPath(bundlePath) + QStringLiteral("/Contents/MacOS/"));
    std::vector<pid_t> pids(static_cast<size_t>(proc_listallpids(nullptr, 0)) + 64);
    const int count = proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    QList<qint64> found;
    char path[PROC_PIDPATHINFO_MAXSIZE];
    for (int i = 0; i < count; ++i) {
        if (pids[static_cast<size_t>(i)] == ::getpid() ||
            proc_pidpath(pids[static_cast<size_t>(i)], path, sizeof(path)) <= 0)
            continue;
        if (QByteArray(path).startsWith(inside))
            found << pids[static_cast<size_t>(i)];
    }
    return found;
}

} // namespace veldra::platform
