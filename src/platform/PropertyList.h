#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace veldra::platform {

// A parsed property list (libplist's plist_t), freed with its owner.
struct PropertyListDeleter {
    void operator()(void* node) const;
};
using PropertyList = std::unique_ptr<void, PropertyListDeleter>;

// Parses an XML or binary property list. Null when the bytes are not one.
[[nodiscard]] PropertyList parsePropertyList(const QByteArray& bytes);

// The text of a string node; none for a null node or one of another type.
[[nodiscard]] std::optional<QString> propertyListString(void* node);

} // namespace veldra::platform
