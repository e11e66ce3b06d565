#include "updater/engine/UpdateLeftovers.h"

#include "updater/fetching/UpdateSession.h"
#include "updater/patches/BundlePatch.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veldra {

void removeUpdateLeftovers(const QString& temporaryDirectory, std::chrono::seconds staleAfter) {
    const QDir dir(temporaryDirectory);
    const QStringList transfers =
        dir.entryList({QLatin1String(kTransferFilePrefix) + QLatin1Char('*')},
                      QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : transfers) {
        const QString path = dir.filePath(name);
        // Never blocking (a FIFO of that name would stop this thread for
        // good) and never through a link: regular files only.
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat info;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            QFile::remove(path);
        ::close(fd);
    }
    const QDateTime staleBefore = QDateTime::currentDateTimeUtc().addSecs(-staleAfter.count());
    const QFileInfoList finished = dir.entryInfoList(
        {QStringLiteral("VeldraCloudDesktop-*.dmg"), QStringLiteral("veldra-install-*.zsh"),
         QStringLiteral("veldra-install-*.plist"), QStringLiteral("veldra-started-*")},
        QDir::Files);
    for (const QFileInfo& file : finished)
        if (file.lastModified().toUTC() < staleBefore)
            QFile::remove(file.absoluteFilePath());
    for (const QFileInfo& folder : dir.entryInfoList(
             {QStringLiteral("VeldraCloudDesktop-*.patched")}, QDir::Dirs | QDir::NoSymLinks))
        if (folder.lastModified().toUTC() < staleBefore)
            removeBundleCopy(folder.absoluteFilePath());
}

} // namespace veldra
