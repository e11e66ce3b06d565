#include "platform/RunningLocation.h"

#include "platform/CFHolder_mac.h"

#include <QFile>

#include <dlfcn.h>
#include <sys/mount.h>

namespace veldra::platform {

namespace {

// Security.framework exports both since macOS 10.12 without a public header.
using IsTranslocated = Boolean (*)(CFURLRef, bool*, CFErrorRef*);
using OriginalPath = CFURLRef (*)(CFURLRef, CFErrorRef*);

template <typename Function> Function securityFunction(const char* name) {
    static void* security =
        ::dlopen("/System/Library/Frameworks/Security.framework/Security", RTLD_LAZY);
    return security ? reinterpret_cast<Function>(::dlsym(security, name)) : nullptr;
}

} // namespace

RunningLocation runningLocation(const QString& bundlePath) {
    const CFHolder path = toCF(bundlePath);
    const CFHolder url(CFURLCreateWithFileSystemPath(
        kCFAllocatorDefault, static_cast<CFStringRef>(path.get()), kCFURLPOSIXPathStyle, true));
    const auto isTranslocated = securityFunction<IsTranslocated>("SecTranslocateIsTranslocatedURL");
    const auto originalPath =
        securityFunction<OriginalPath>("SecTranslocateCreateOriginalPathForURL");
    bool translocated = false;
    if (url && isTranslocated &&
        isTranslocated(static_cast<CFURLRef>(url.get()), &translocated, nullptr) && translocated) {
        QString original = bundlePath;
        if (originalPath) {
            const CFHolder originalUrl(originalPath(static_cast<CFURLRef>(url.get()), nullptr));
            const CFHolder text(
                originalUrl ? CFURLCopyFileSystemPath(static_cast<CFURLRef>(originalUrl.get()),
                                                      kCFURLPOSIXPathStyle)
                            : nullptr);
            if (text)
                original = QString::fromCFString(static_cast<CFStringRef>(text.get()));
        }
        return {RunningLocation::Kind::translocated, original};
    }
    // A disk image is mounted read-only under /Volumes.
    struct statfs volume;
    if (bundlePath.startsWith(QLatin1String("/Volumes/")) &&
        ::statfs(QFile::encodeName(bundlePath).constData(), &volume) == 0 &&
        (volume.f_flags & MNT_RDONLY))
        return {RunningLocation::Kind::diskImage, bundlePath};
    return {RunningLocation::Kind::installed, bundlePath};
}

} // namespace veldra::platform
