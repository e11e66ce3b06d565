#include "updater/fetching/ReceivedFile.h"

#include "updater/fetching/Sha256.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace veldra {

std::optional<qint64> fileSize(const QString& path, int* error) {
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    return static_cast<qint64>(info.st_size);
}

bool isFailedTransfer(const TransferResult& t, const UpdateServer& server) {
    return !t.file || t.transportError || !t.isHttp || t.status != 200 ||
           !isAllowedUpdateURL(t.finalUrl, server) || t.declaredLength > kMaxImageBytes;
}

std::variant<QString, platform::SystemError> receivedDigest(const TransferResult& t) {
    if (t.sha256)
        return *t.sha256;
    return sha256Hex(t.file->fileName());
}

} // namespace veldra
