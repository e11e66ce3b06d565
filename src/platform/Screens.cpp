#include "platform/Screens.h"

#include <QGuiApplication>
#include <QScreen>

namespace veldra::platform {

std::optional<ScreenInfo> firstScreen() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return std::nullopt;
    const auto screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return std::nullopt;
    const QScreen* screen = screens.first();
    const QRect area = screen->availableGeometry();
    return ScreenInfo{static_cast<double>(area.width()), static_cast<double>(area.height()),
                      screen->devicePixelRatio()};
}

} // namespace veldra::platform
