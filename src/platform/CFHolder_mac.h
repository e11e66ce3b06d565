#pragma once

#include <QString>

#include <CoreFoundation/CoreFoundation.h>

#include <memory>

namespace veldra::platform {

// Owns one CoreFoundation reference.
struct CFReleaser {
    void operator()(CFTypeRef ref) const {
        if (ref)
            ::CFRelease(ref);
    }
};
using CFHolder = std::unique_ptr<const void, CFReleaser>;

inline CFHolder toCF(const QString& text) {
    return CFHolder(text.toCFString());
}

} // namespace veldra::platform
