#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace veldra {

// The one update server every updater address must point at.
struct UpdateServer {
    QString host; // lower case
    int port = 443;

    // The server this build was made for.
    static UpdateServer production();
};

// https, exactly the update host (case-insensitive, no sub-domains), no user,
// no password, and the server's port (a URL without one means 443).
bool isAllowedUpdateURL(const std::optional<QUrl>& url, const UpdateServer& server);

// "https://<host>[:<port>]/version.json", the port only when it is not 443.
QString manifestAddress(const UpdateServer& server);

// The text as a URL, only when it parses and passes the rule above.
std::optional<QUrl> makeUpdateURL(const QString& text, const UpdateServer& server);

} // namespace veldra
