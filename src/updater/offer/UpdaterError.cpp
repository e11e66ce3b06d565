#include "updater/offer/UpdaterError.h"

namespace veldra {

UpdaterError makeUpdaterError(int code, QString message) {
    return UpdaterError{code, std::move(message)};
}

namespace updater_errors {
UpdaterError integrityCheckFailed() {
    return makeUpdaterError(2, QStringLiteral("Integrity check failed."));
}
UpdaterError invalidSize() {
    return makeUpdaterError(3, QStringLiteral("The downloaded update has an invalid size."));
}
UpdaterError unexpectedApplication() {
    return makeUpdaterError(
        4, QStringLiteral("The installer does not contain the expected Veldra application."));
}
UpdaterError invalidSignature() {
    return makeUpdaterError(5, QStringLiteral("The downloaded application signature is invalid."));
}
UpdaterError diskImageUnreadable() {
    return makeUpdaterError(6, QStringLiteral("The downloaded disk image could not be opened."));
}
UpdaterError executableMissing() {
    return makeUpdaterError(7, QStringLiteral("The downloaded application executable is missing."));
}
UpdaterError wrongArchitecture() {
    return makeUpdaterError(8, QStringLiteral("The update was built for a different type of Mac."));
}
UpdaterError approvalNotGranted() {
    return makeUpdaterError(
        9, QStringLiteral(
               "Administrator approval was not granted; the current app was left unchanged."));
}
UpdaterError openElsewhere() {
    return makeUpdaterError(10, QStringLiteral("Veldra Cloud Desktop is still open in another "
                                               "window, session or account; quit it there, then "
                                               "update."));
}
UpdaterError notInApplications() {
    return makeUpdaterError(
        11, QStringLiteral("Move Veldra Cloud Desktop to Applications to update it."));
}
UpdaterError alreadyInApplications(const QString& version) {
    return makeUpdaterError(
        12, QStringLiteral("Applications already has Veldra Cloud Desktop %1; it was opened "
                           "instead of this older copy.")
                .arg(version));
}
UpdaterError moveNeedsPublisher() {
    return makeUpdaterError(13, QStringLiteral("This copy can't be moved to Applications for you: "
                                               "drag it there in the Finder."));
}
} // namespace updater_errors

QString describe(const UpdateFailure& failure) {
    if (const auto* own = std::get_if<UpdaterError>(&failure))
        return own->localizedDescription();
    return std::get<platform::SystemError>(failure).message;
}

} // namespace veldra
