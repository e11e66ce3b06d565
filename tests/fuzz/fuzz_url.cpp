// Location texts: what passes is https on the update host, no user information or other port.
#include "updater/offer/UpdateURL.h"

#include <cstdint>
#include <cstdlib>

using namespace veldra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const UpdateServer server{QStringLiteral("updates.veldra.example"), 443};
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto url = makeUpdateURL(text, server);
    if (!url)
        return 0;
    if (url->scheme().toLower() != QLatin1String("https") || url->host().toLower() != server.host ||
        !url->userInfo().isEmpty() || (url->port() != -1 && url->port() != 443))
        std::abort();
    // The URL as it will be requested must pass again.
    if (!makeUpdateURL(url->toString(QUrl::FullyEncoded), server))
        std::abort();
    return 0;
}
