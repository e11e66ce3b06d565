#include "updater/offer/UpdateURL.h"

#include "veldra/BuildConstants.h"

namespace veldra {

UpdateServer UpdateServer::production() {
    return {QString::fromUtf8(build::kUpdateHost).toLower(), build::kUpdatePort};
}

bool isAllowedUpdateURL(const std::optional<QUrl>& url, const UpdateServer& server) {
    if (!url || !url->isValid())
        return false;
    if (url->scheme().toLower() != QLatin1String("https"))
        return false;
    const QString host = url->host(QUrl::FullyDecoded);
    if (host.isEmpty() || host.toLower() != server.host)
        return false;
    if (!url->userName(QUrl::FullyEncoded).isEmpty() || url->authority().contains(QLatin1Char('@')))
        return false;
    if (!url->password(QUrl::FullyEncoded).isEmpty())
        return false;
    // No port means 443, so a server on another port takes only its own.
    return url->port(443) == server.port;
}

QString manifestAddress(const UpdateServer& server) {
    QString address = QStringLiteral("https://") + server.host;
    if (server.port != 443)
        address += QLatin1Char(':') + QString::number(server.port);
    return address + QStringLiteral("/version.json");
}

std::optional<QUrl> makeUpdateURL(const QString& text, const UpdateServer& server) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    if (!isAllowedUpdateURL(url, server))
        return std::nullopt;
    return url;
}

} // namespace veldra
