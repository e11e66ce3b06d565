#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <limits>

namespace veldra::platform {

void PropertyListDeleter::operator()(void* node) const {
    plist_free(static_cast<plist_t>(node));
}

PropertyList parsePropertyList(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(bytes.size());
    // libplist 2.3 added the format out-parameter and the error result; its
    // headers carry no version macro, so the build tells us which form we have.
#if VELDRA_PLIST_FROM_MEMORY_HAS_FORMAT
    plist_format_t format{};
    const plist_err_t error = plist_from_memory(bytes.constData(), length, &root, &format);
    PropertyList result(root);
    if (error != PLIST_ERR_SUCCESS)
        return nullptr;
    return result;
#else
    plist_from_memory(bytes.constData(), length, &root);
    return PropertyList(root);
#endif
}

std::optional<QString> propertyListString(void* node) {
    if (!node || plist_get_node_type(static_cast<plist_t>(node)) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(static_cast<plist_t>(node), &length);
    if (!text || length > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()))
        return QString();
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

} // namespace veldra::platform
