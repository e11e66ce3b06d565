#pragma once

#include <QString>

#include <optional>

namespace veldra::platform {

// A text value of a bundle's Contents/Info.plist (XML or binary). None when the
// file is missing or unreadable, is not a dictionary, lacks the key, or holds a
// value of another type there.
std::optional<QString> infoPlistString(const QString& bundlePath, const QString& key);

// The same, from the bytes of a property list.
std::optional<QString> plistString(const QByteArray& plist, const QString& key);

} // namespace veldra::platform
