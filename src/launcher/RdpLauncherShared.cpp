#include "launcher/RdpLauncher.h"

#include "platform/Bundle.h"
#include "platform/Screens.h"
#include "platform/UserDirectories.h"
#include "veldra/BuildConstants.h"

namespace veldra {

RdpLauncher& RdpLauncher::shared() {
    static RdpLauncher* instance = new RdpLauncher(Configuration{
        QString::fromUtf8(build::kRdpHost),
        [] { return platform::mainBundlePath(); },
        [] { return clientLogPath(platform::userLibraryDirectory()); },
        [] { return platform::firstScreen(); },
        [] { return isUpdateDownloading(); },
        kOpenedAfter,
    });
    return *instance;
}

} // namespace veldra
