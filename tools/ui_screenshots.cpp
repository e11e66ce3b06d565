// Renders the sign-in window in its main states and writes PNGs:
//   ui_screenshots <resources dir> <output dir>
// Run it on a real display server (the test command uses Xvfb).
#include "FakeUpdater.h"
#include "TestBundle.h"
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"
#include "ui/UpdatePrompt.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>

using namespace veldra;
using namespace std::chrono_literals;

namespace {

// The window, with the prompt (a sheet on macOS) composed over it when shown.
QImage capture(AppDelegate& delegate) {
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents();
    QImage shot = delegate.window()->grab().toImage();
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        const QImage sheet = box->grab().toImage();
        QPainter painter(&shot);
        painter.fillRect(shot.rect(), QColor(0, 0, 0, 60));
        painter.drawImage((shot.width() - sheet.width()) / 2, 80, sheet);
    }
    return shot;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString resources = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(out);

    QTemporaryDir scratch;
    test::TestBundle bundle;
    const QString client =
        bundle.addScript("freerdp", "echo 'ERRCONNECT_LOGON_FAILURE: wrong password'\nexit 131\n");
    const auto make = [&](test::FakeUpdater& updater, SettingsManager& settings,
                          RdpLauncher& launcher) {
        auto delegate = std::make_unique<AppDelegate>(
            settings, updater, launcher,
            ui::ContentView::Details{resources, "1.0.0", "+1 555 0100", "Intel Mac"});
        delegate->applicationDidFinishLaunching();
        return delegate;
    };
    const auto launcherFor = [&](const QString& bundlePath) {
        return std::make_unique<RdpLauncher>(
            RdpLauncher::Configuration{"rdp.veldra.example", [bundlePath] { return bundlePath; },
                                       [&] { return scratch.path() + "/freerdp.log"; },
                                       [] { return std::nullopt; }, [] { return false; }, 3000ms});
    };
    int failures = 0;
    const auto save = [&](const QImage& image, const char* name) {
        if (!image.save(out + "/" + name + ".png"))
            ++failures;
    };

    { // Empty form.
        test::FakeUpdater updater;
        SettingsManager settings(platform::userDefaultsOn(
            std::make_unique<QSettings>(scratch.path() + "/a.ini", QSettings::IniFormat)));
        auto launcher = launcherFor(bundle.path());
        auto delegate = make(updater, settings, *launcher);
        save(capture(*delegate), "empty-form");
    }
    { // A failed sign-in.
        test::FakeUpdater updater;
        SettingsManager settings(platform::userDefaultsOn(
            std::make_unique<QSettings>(scratch.path() + "/b.ini", QSettings::IniFormat)));
        auto launcher = launcherFor(bundle.path());
        auto delegate = make(updater, settings, *launcher);
        auto fields = delegate->contentView()->findChildren<QLineEdit*>();
        fields.value(0)->setText("alice");
        fields.value(1)->setText("secret");
        delegate->contentView()->connectAction();
        test::waitUntil([&] { return !delegate->contentView()->isConnecting(); }, 10000);
        if (!delegate->contentView()->errorMessage())
            ++failures;
        save(capture(*delegate), "error");
    }
    { // An update offered: banner and prompt.
        test::FakeUpdater updater;
        SettingsManager settings(platform::userDefaultsOn(
            std::make_unique<QSettings>(scratch.path() + "/c.ini", QSettings::IniFormat)));
        settings.recordUsername("alice");
        auto launcher = launcherFor(bundle.path());
        auto delegate = make(updater, settings, *launcher);
        updater.offer("1.1.0");
        if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            ++failures;
        save(capture(*delegate), "update-available");
    }
    { // An update downloading.
        test::FakeUpdater updater;
        SettingsManager settings(platform::userDefaultsOn(
            std::make_unique<QSettings>(scratch.path() + "/e.ini", QSettings::IniFormat)));
        settings.recordUsername("alice");
        auto launcher = launcherFor(bundle.path());
        auto delegate = make(updater, settings, *launcher);
        updater.offer("1.1.0");
        updater.setShouldPresentUpdate(false);
        updater.setIsDownloading(true);
        updater.setStatusMessage(QStringLiteral("Downloading\u2026"));
        updater.setDownloadProgress(41'234'567, 180'000'000);
        save(capture(*delegate), "downloading");
    }
    { // No bundled client.
        test::FakeUpdater updater;
        SettingsManager settings(platform::userDefaultsOn(
            std::make_unique<QSettings>(scratch.path() + "/d.ini", QSettings::IniFormat)));
        auto launcher = launcherFor(scratch.path() + "/Empty.app");
        auto delegate = make(updater, settings, *launcher);
        save(capture(*delegate), "missing-client");
    }
    return failures;
}
