#pragma once

#include "platform/Screens.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace veldra {

// One display dimension in device pixels: margin taken off, scaled, floored,
// clamped to 200…8192 and made even. Non-finite or too small lengths fall back.
int pixelDimension(double points, double margin, double fallback, double scale);

// "/size:WxH", "/scale-desktop:P", "/scale-device:D" for a screen, or for the
// 1280 × 800 @1x default when there is none.
QStringList displayArguments(const std::optional<platform::ScreenInfo>& screen);

// The client's whole argument list, in order; the password is never part of it.
QStringList clientArguments(const QString& serverHost, const QString& user,
                            const std::optional<QString>& domain,
                            const QStringList& displayElements);

// The list as the log shows it: user and domain elements hidden, joined by spaces.
QString redactedArguments(const QStringList& arguments);

} // namespace veldra
