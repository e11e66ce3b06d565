#include "updater/offer/Version.h"

#include "platform/Bundle.h"
#include "platform/InfoPlist.h"

#include <QList>

#include <limits>

namespace veldra {

std::optional<VersionComponents> parseVersion(QStringView text) {
    const auto pieces = text.split(u'.');
    if (pieces.size() > 4)
        return std::nullopt;
    VersionComponents components;
    components.reserve(static_cast<size_t>(pieces.size()));
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    for (QStringView piece : pieces) {
        if (piece.isEmpty())
            return std::nullopt;
        std::int64_t value = 0;
        for (QChar c : piece) {
            if (c < u'0' || c > u'9')
                return std::nullopt;
            const int digit = c.unicode() - u'0';
            if (value > (max - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
        components.push_back(value);
    }
    return components;
}

bool isNewerVersion(QStringView candidate, QStringView reference) {
    const auto a = parseVersion(candidate);
    const auto b = parseVersion(reference);
    if (!a || !b)
        return false;
    const size_t length = std::max(a->size(), b->size());
    for (size_t i = 0; i < length; ++i) {
        const std::int64_t x = i < a->size() ? (*a)[i] : 0;
        const std::int64_t y = i < b->size() ? (*b)[i] : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

bool isSameVersion(QStringView a, QStringView b) {
    const auto x = parseVersion(a);
    const auto y = parseVersion(b);
    return x && y && *x == *y;
}

QString appVersionOfBundle(const QString& bundlePath) {
    return platform::infoPlistString(bundlePath, QStringLiteral("CFBundleShortVersionString"))
        .value_or(QStringLiteral("1.0.0"));
}

QString replacingVersion(const QString& bundlePath, const QString& running) {
    const auto now =
        platform::infoPlistString(bundlePath, QStringLiteral("CFBundleShortVersionString"));
    return now && *now != running ? *now : QString();
}

QString currentAppVersion() {
    // The bundle does not change while the process runs.
    static const QString version = appVersionOfBundle(platform::mainBundlePath());
    return version;
}

} // namespace veldra
