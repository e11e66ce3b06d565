#include "launcher/ClientCommandLine.h"

#include <cmath>

namespace veldra {

int pixelDimension(double points, double margin, double fallback, double scale) {
    const double base = (std::isfinite(points) && points > margin) ? points : fallback;
    double px = std::floor((base - margin) * scale);
    if (!(px >= 200))
        px = 200;
    if (px > 8192)
        px = 8192;
    const int whole = static_cast<int>(px);
    return whole - whole % 2;
}

QStringList displayArguments(const std::optional<platform::ScreenInfo>& screen) {
    const double width = screen ? screen->visibleWidth : 1280;
    const double height = screen ? screen->visibleHeight : 800;
    const double rawScale = screen ? screen->scale : 1.0;
    const double scale =
        (std::isfinite(rawScale) && rawScale >= 1.0 && rawScale <= 3.0) ? rawScale : 1.0;

    const int w = pixelDimension(width, 40, 1280, scale);
    const int h = pixelDimension(height, 64, 800, scale);
    const auto desktop = static_cast<long>(std::lround(scale * 100));
    const int device = scale >= 1.5 ? 180 : 100;
    return {QStringLiteral("/size:%1x%2").arg(w).arg(h),
            QStringLiteral("/scale-desktop:%1").arg(desktop),
            QStringLiteral("/scale-device:%1").arg(device)};
}

QStringList clientArguments(const QString& serverHost, const QString& user,
                            const std::optional<QString>& domain,
                            const QStringList& displayElements) {
    QStringList list{
        QStringLiteral("/v:") + serverHost,
        QStringLiteral("/u:") + user,
        QStringLiteral("/cert:tofu"),
        QStringLiteral("/from-stdin:force"),
        QStringLiteral("/dynamic-resolution"),
        QStringLiteral("+clipboard"),
        QStringLiteral("/printer"),
        QStringLiteral("/sound"),
        QStringLiteral("/microphone"),
        QStringLiteral("/network:auto"),
        QStringLiteral("+auto-reconnect"),
        QStringLiteral("+decorations"),
        QStringLiteral("-grab-keyboard"),
        QStringLiteral("-grab-mouse"),
        QStringLiteral("/t:Veldra Cloud Desktop"),
    };
    list += displayElements;
    if (domain && !domain->isEmpty())
        list << QStringLiteral("/d:") + *domain;
    return list;
}

QString redactedArguments(const QStringList& arguments) {
    QStringList shown;
    shown.reserve(arguments.size());
    for (const QString& element : arguments) {
        if (element.startsWith(QLatin1String("/u:")))
            shown << QStringLiteral("/u:<redacted>");
        else if (element.startsWith(QLatin1String("/d:")))
            shown << QStringLiteral("/d:<redacted>");
        else
            shown << element;
    }
    return shown.join(QLatin1Char(' '));
}

} // namespace veldra
