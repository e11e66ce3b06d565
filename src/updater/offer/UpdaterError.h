#pragma once

#include "platform/ChildProcess.h"

#include <QString>

#include <variant>

namespace veldra {

// The updater's own failures: domain "VeldraUpdater", a code from 2 to 13, and a
// message that is exactly what the user reads.
struct UpdaterError {
    static constexpr auto kDomain = "VeldraUpdater";
    int code = 0;
    QString message;

    QString domain() const { return QString::fromLatin1(kDomain); }
    QString localizedDescription() const { return message; }
    bool operator==(const UpdaterError&) const = default;
};

UpdaterError makeUpdaterError(int code, QString message);

namespace updater_errors {
UpdaterError integrityCheckFailed();  // 2
UpdaterError invalidSize();           // 3
UpdaterError unexpectedApplication(); // 4
UpdaterError invalidSignature();      // 5
UpdaterError diskImageUnreadable();   // 6
UpdaterError executableMissing();     // 7
UpdaterError wrongArchitecture();     // 8
UpdaterError approvalNotGranted();    // 9
UpdaterError openElsewhere();         // 10
UpdaterError notInApplications();     // 11
// A move that found the same or a newer version installed, and opened that.
UpdaterError alreadyInApplications(const QString& version); // 12
// A move as root of a build that pins no publisher.
UpdaterError moveNeedsPublisher(); // 13
} // namespace updater_errors

// A failed install step: the updater's own error, or the platform's unchanged.
using UpdateFailure = std::variant<UpdaterError, platform::SystemError>;
QString describe(const UpdateFailure& failure);

} // namespace veldra
