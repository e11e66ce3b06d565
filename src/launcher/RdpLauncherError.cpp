#include "launcher/RdpLauncherError.h"

namespace veldra {

RdpLauncherError RdpLauncherError::invalidCredentials(QString message) {
    return {Kind::invalidCredentials, std::move(message), 0};
}

RdpLauncherError RdpLauncherError::launchFailed(std::int32_t status, QString detail) {
    return {Kind::launchFailed, std::move(detail), status};
}

RdpLauncherError RdpLauncherError::freeRdpMissing() {
    return {Kind::freeRdpMissing, QString(), 0};
}

RdpLauncherError RdpLauncherError::sessionAlreadyActive() {
    return {Kind::sessionAlreadyActive, QString(), 0};
}

QString RdpLauncherError::errorDescription() const {
    switch (m_kind) {
    case Kind::invalidCredentials:
        return m_text;
    case Kind::launchFailed: {
        QString text = QStringLiteral("FreeRDP could not connect (status %1).").arg(m_status);
        if (!m_text.isEmpty())
            text += QLatin1Char(' ') + m_text;
        return text;
    }
    case Kind::freeRdpMissing:
        return QStringLiteral(
            "The bundled FreeRDP component is missing. Reinstall Veldra Cloud Desktop.");
    case Kind::sessionAlreadyActive:
        return QStringLiteral("A remote desktop session is already running.");
    }
    return QStringLiteral("Unknown error.");
}

const RdpLauncherError* LaunchOutcome::launcherError() const {
    return m_failure ? std::get_if<RdpLauncherError>(&*m_failure) : nullptr;
}

QString LaunchOutcome::errorDescription() const {
    if (!m_failure)
        return QString();
    if (const auto* error = std::get_if<RdpLauncherError>(&*m_failure))
        return error->errorDescription();
    return std::get<platform::SystemError>(*m_failure).message;
}

} // namespace veldra
