#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "platform/Architecture.h"
#include "platform/Bundle.h"
#include "platform/RunningLocation.h"
#include "settings/SettingsManager.h"
#include "updater/engine/LazyUpdater.h"
#include "updater/offer/Version.h"
#include "veldra/BuildConstants.h"

#include <QApplication>
#include <QFile>
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
    if (build::kElevateWithSudo)
        std::fputs("Veldra Cloud Desktop: this build installs as root with sudo -n, for CI runners "
                   "only.\n",
                   stderr);
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
        },
        // An organisation that turned updates off places the application itself.
        LazyUpdater::shared().mode() == LazyUpdater::Mode::off
            ? platform::RunningLocation{}
            : platform::runningLocation(platform::mainBundlePath()));
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);

    // Started by an install: a version put back because this one's successor
    // did not start is never offered again; a new version says it started
    // once its window has been up for 10 seconds, and only then does the
    // install remove the previous one.
    const QStringList arguments = QApplication::arguments();
    const auto valueOf = [&](const char* name) {
        const qsizetype at = arguments.indexOf(QLatin1String(name));
        return at < 0 ? QString() : arguments.value(at + 1);
    };
    if (const QString failed = valueOf(kRolledBackArgument); !failed.isEmpty())
        SettingsManager::shared().setRolledBackVersion(failed);
    if (const QString refused = valueOf(kPatchRefusedArgument); !refused.isEmpty())
        SettingsManager::shared().setPatchRefusedVersion(refused);
    SettingsManager::shared().settleRollBack();
    if (const QString started = valueOf(kReportStartedArgument); !started.isEmpty()) {
        // A user who quits sooner quit a version that started as well.
        const auto report = [started] {
            QFile file(started);
            (void)file.open(QIODevice::WriteOnly);
        };
        QTimer::singleShot(std::chrono::seconds(10), &delegate, report);
        QObject::connect(&app, &QCoreApplication::aboutToQuit, report);
    }
    return QApplication::exec();
}
