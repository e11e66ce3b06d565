#include "updater/fetching/ImageDownload.h"

#include "updater/fetching/ReceivedFile.h"

#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstring>

namespace veldra {

std::optional<QString> completeDownload(TransferResult transfer, const QString& expectedDigest,
                                        const QString& expectedVersion,
                                        platform::Architecture architecture,
                                        const UpdateServer& server,
                                        const QString& temporaryDirectory,
                                        const InstallStep& install) {
    if (isFailedTransfer(transfer, server))
        return QStringLiteral("Download failed");
    const QString received = transfer.file->fileName();
    int error = 0;
    const auto size = fileSize(received, &error);
    if (!size)
        return QString::fromLocal8Bit(std::strerror(error));
    if (!isAcceptableImageSize(*size))
        return updater_errors::invalidSize().localizedDescription();

    const auto digest = receivedDigest(transfer);
    if (const auto* failure = std::get_if<platform::SystemError>(&digest))
        return failure->message;
    if (std::get<QString>(digest) != expectedDigest)
        return updater_errors::integrityCheckFailed().localizedDescription();

    const QString image = verifiedImagePath(temporaryDirectory);
    if (!transfer.file->rename(image))
        return transfer.file->errorString();
    // From here the image is ours to remove on failure.
    transfer.file->setAutoRemove(false);
    transfer.file.reset();

    const auto failure = install ? install(image, expectedVersion, architecture, expectedDigest)
                                 : std::optional<UpdateFailure>(platform::SystemError{
                                       ENOSYS, QStringLiteral("No installer is configured.")});
    if (!failure)
        return std::nullopt;
    QFile::remove(image);
    return describe(*failure);
}

QString verifiedImagePath(const QString& temporaryDirectory) {
    return temporaryDirectory + QStringLiteral("/VeldraCloudDesktop-") +
           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".dmg");
}

bool isAcceptableImageSize(qint64 size) {
    return size > kMinImageBytes && size <= kMaxImageBytes;
}

} // namespace veldra
