#include "updater/patches/PatchDownload.h"

#include "platform/Bundle.h"
#include "updater/fetching/ReceivedFile.h"
#include "updater/offer/Version.h"
#include "updater/patches/BundlePatch.h"
#include "updater/patches/TreeDigest.h"

#include <QDir>
#include <QUuid>

namespace veldra {

bool isPatchUsable(const PatchOffer& offer, const QString& version,
                   const QString& installedApplication, const QString& patchRefusedVersion) {
    if (installedApplication.isEmpty() || isSameVersion(version, patchRefusedVersion))
        return false;
    const auto tree = treeDigest(installedApplication);
    return std::holds_alternative<QString>(tree) && std::get<QString>(tree) == offer.sourceTree;
}

PatchOutcome completePatch(TransferResult transfer, const PatchOffer& offer,
                           const QString& expectedVersion, platform::Architecture architecture,
                           const UpdateServer& server, const QString& installedApplication,
                           const QString& temporaryDirectory, const PatchedInstallStep& install,
                           const std::atomic<bool>* abandoned) {
    const auto unusable = [](const QString& why) {
        return PatchOutcome{PatchOutcome::Kind::unusable, why};
    };
    if (isFailedTransfer(transfer, server))
        return unusable(QStringLiteral("The patch could not be downloaded."));
    const QString patch = transfer.file->fileName();
    if (fileSize(patch) != offer.size)
        return unusable(QStringLiteral("The patch is not of the size the manifest gives."));
    const auto digest = receivedDigest(transfer);
    if (!std::holds_alternative<QString>(digest) || std::get<QString>(digest) != offer.digest)
        return unusable(QStringLiteral("The patch does not have the digest the manifest gives."));

    const QString folder = temporaryDirectory + QStringLiteral("/VeldraCloudDesktop-") +
                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                           QStringLiteral(".patched");
    const QString application =
        folder + QLatin1Char('/') + QLatin1String(platform::kBundleFileName);
    if (!QDir().mkdir(folder))
        return unusable(QStringLiteral("No folder for the patched copy."));
    const auto applied = applyBundlePatch(patch, installedApplication, application, abandoned);
    transfer.file.reset();
    PatchOutcome outcome{PatchOutcome::Kind::handedOver};
    std::optional<UpdateFailure> refused;
    if (const auto* problem = std::get_if<PatchProblem>(&applied))
        outcome = unusable(problem->message);
    else if (std::get<PatchHeader>(applied).sourceTree != offer.sourceTree ||
             std::get<PatchHeader>(applied).resultTree != offer.resultTree)
        outcome = unusable(QStringLiteral("The patch is not the one the manifest gives."));
    else if (!install)
        outcome = unusable(QStringLiteral("No installer is configured."));
    else if ((refused =
                  install(application, folder, expectedVersion, architecture, offer.resultTree)))
        // Asking again for the image would only ask the user again.
        outcome = {std::get_if<UpdaterError>(&*refused) && *std::get_if<UpdaterError>(&*refused) ==
                                                               updater_errors::approvalNotGranted()
                       ? PatchOutcome::Kind::declined
                       : PatchOutcome::Kind::unusable,
                   describe(*refused)};
    if (outcome.kind != PatchOutcome::Kind::handedOver)
        removeBundleCopy(folder);
    return outcome;
}

} // namespace veldra
