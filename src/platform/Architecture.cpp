#include "platform/Architecture.h"

#if defined(__APPLE__)
#include <sys/types.h>

#include <sys/sysctl.h>
#endif

namespace veldra::platform {

RunningCopy runningCopy() {
#if defined(__APPLE__)
    if constexpr (kBuildArchitecture == Architecture::x86_64) {
        // 1 under translation; an Intel Mac has no such name (ENOENT),
        // which means native.
        int translated = 0;
        size_t size = sizeof translated;
        if (::sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) == 0 &&
            translated == 1)
            return RunningCopy::translated;
    }
#endif
    return kBuildCopy;
}

} // namespace veldra::platform
