#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "platform/Architecture.h"
#include "platform/Bundle.h"
#include "settings/SettingsManager.h"
#include "updater/MacUpdater.h"
#include "updater/Version.h"
#include "veldra/BuildConstants.h"

#include <QApplication>
#include <QTimer>

using namespace veldra;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veldra Cloud Desktop"));
    QApplication::setApplicationVersion(currentAppVersion());

    AppDelegate delegate(
        SettingsManager::shared(), MacUpdater::shared(), RdpLauncher::shared(),
        ui::ContentView::Details{
            platform::mainBundlePath() + QStringLiteral("/Contents/Resources"),
            currentAppVersion(),
            QString::fromUtf8(build::kSupportPhone),
            QString::fromLatin1(platform::processorLabel(platform::kBuildArchitecture)),
        });
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
