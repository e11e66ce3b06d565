#include "platform/InfoPlist.h"

#include "platform/PropertyList.h"

#include <QFile>

#include <plist/plist.h>

namespace veldra::platform {

std::optional<QString> plistString(const QByteArray& bytes, const QString& key) {
    const PropertyList root = parsePropertyList(bytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    return propertyListString(plist_dict_get_item(root.get(), key.toUtf8().constData()));
}

std::optional<QString> infoPlistString(const QString& bundlePath, const QString& key) {
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return plistString(file.readAll(), key);
}

} // namespace veldra::platform
