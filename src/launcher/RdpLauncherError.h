#pragma once

#include "platform/ChildProcess.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <variant>

namespace veldra {

// Why the launcher refused or failed a sign-in; each case has one fixed text.
class RdpLauncherError {
public:
    enum class Kind { invalidCredentials, launchFailed, freeRdpMissing, sessionAlreadyActive };

    static RdpLauncherError invalidCredentials(QString message);
    static RdpLauncherError launchFailed(std::int32_t status, QString detail);
    static RdpLauncherError freeRdpMissing();
    static RdpLauncherError sessionAlreadyActive();

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_text; } // invalidCredentials
    const QString& detail() const { return m_text; }  // launchFailed
    std::int32_t status() const { return m_status; }  // launchFailed

    // Never empty.
    QString errorDescription() const;

    bool operator==(const RdpLauncherError&) const = default;

private:
    RdpLauncherError(Kind kind, QString text, std::int32_t status)
        : m_kind(kind), m_text(std::move(text)), m_status(status) {}
    Kind m_kind;
    QString m_text;
    std::int32_t m_status = 0;
};

// The one result a launch delivers: success, or a failure that is either the
// launcher's own error or the operating system's when the client cannot start.
class LaunchOutcome {
public:
    using Failure = std::variant<RdpLauncherError, platform::SystemError>;

    static LaunchOutcome success() { return LaunchOutcome(); }
    static LaunchOutcome failure(Failure failure) { return LaunchOutcome(std::move(failure)); }

    bool succeeded() const { return !m_failure.has_value(); }
    const std::optional<Failure>& failure() const { return m_failure; }
    // The launcher error, when the failure is one.
    const RdpLauncherError* launcherError() const;
    // What the user is shown after "Connection failed: ". Empty on success.
    QString errorDescription() const;

private:
    LaunchOutcome() = default;
    explicit LaunchOutcome(Failure failure) : m_failure(std::move(failure)) {}
    std::optional<Failure> m_failure;
};

} // namespace veldra
