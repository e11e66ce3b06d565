#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "platform/Architecture.h"
#include "platform/Bundle.h"
#include "settings/SettingsManager.h"
#include "updater/LazyUpdater.h"
#include "updater/Version.h"
#include "veldra/BuildConstants.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <string_view>

using namespace veldra;

int main(int argc, char* argv[]) {
    if (const std::string_view tools = build::kSystemToolsDir; !tools.empty())
        std::fprintf(stderr,
                     "Veldra Cloud Desktop: this build's install tools are stand-ins from %s; "
                     "it cannot install a real update.\n",
                     build::kSystemToolsDir);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veldra Cloud Desktop"));
    QApplication::setApplicationVersion(currentAppVersion());

    AppDelegate delegate(
        SettingsManager::shared(), LazyUpdater::shared(), RdpLauncher::shared(),
        ui::ContentView::Details{
            platform::mainBundlePath() + QStringLiteral("/Contents/Resources"),
            currentAppVersion(),
            QString::fromUtf8(build::kSupportPhone),
            QString::fromLatin1(platform::processorLabel(platform::kBuildArchitecture)),
        });
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
