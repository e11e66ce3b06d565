#include "platform/InfoPlist.h"

#include <QFile>

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

namespace veldra::platform {

std::optional<QString> plistString(const QByteArray& bytes, const QString& key) {
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return std::nullopt;
    std::optional<QString> result;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(root, key.toUtf8().constData());
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            result = QString::fromUtf8(value ? value : "");
            std::free(value);
        }
    }
    plist_free(root);
    return result;
}

std::optional<QString> infoPlistString(const QString& bundlePath, const QString& key) {
    QFile file(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return plistString(file.readAll(), key);
}

} // namespace veldra::platform
