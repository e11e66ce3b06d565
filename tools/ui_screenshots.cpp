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
    const auto launcherFor = [&](const QString& bundlePath) {
        return std::make_unique<RdpLauncher>(
            RdpLauncher::Configuration{"rdp.veldra.example", [bundlePath] { return bundlePath; },
                                       [&] { return scratch.path() + "/freerdp.log"; },
                                       [] { return std::nullopt; }, [] { return false; }, 3000ms});
    };
    // One window with its own settings file, remembered username and client.
    struct Scene {
        test::FakeUpdater updater;
        std::unique_ptr<SettingsManager> settings;
        std::unique_ptr<RdpLauncher> launcher;
        std::unique_ptr<AppDelegate> delegate;
    };
    int scenes = 0;
    const auto scene = [&](const QString& username, const QString& bundlePath) {
        auto made = std::make_unique<Scene>();
        made->settings =
            std::make_unique<SettingsManager>(platform::userDefaultsOn(std::make_unique<QSettings>(
                scratch.path() + QStringLiteral("/%1.ini").arg(++scenes), QSettings::IniFormat)));
        if (!username.isEmpty())
            made->settings->recordUsername(username);
        made->launcher = launcherFor(bundlePath);
        made->delegate = std::make_unique<AppDelegate>(
            *made->settings, made->updater, *made->launcher,
            ui::ContentView::Details{resources, "1.0.0", "+1 555 0100", "Intel Mac"});
        made->delegate->applicationDidFinishLaunching();
        return made;
    };
    int failures = 0;
    const auto save = [&](const QImage& image, const char* name) {
        if (!image.save(out + "/" + name + ".png"))
            ++failures;
    };

    { // Empty form.
        const auto s = scene({}, bundle.path());
        save(capture(*s->delegate), "empty-form");
    }
    { // A failed sign-in.
        const auto s = scene({}, bundle.path());
        auto fields = s->delegate->contentView()->findChildren<QLineEdit*>();
        fields.value(0)->setText("alice");
        fields.value(1)->setText("secret");
        s->delegate->contentView()->connectAction();
        test::waitUntil([&] { return !s->delegate->contentView()->isConnecting(); }, 10000);
        if (!s->delegate->contentView()->errorMessage())
            ++failures;
        save(capture(*s->delegate), "error");
    }
    { // An update offered: banner and prompt.
        const auto s = scene("alice", bundle.path());
        s->updater.offer("1.1.0");
        if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            ++failures;
        save(capture(*s->delegate), "update-available");
    }
    { // An update offered with its release notes.
        const auto s = scene("alice", bundle.path());
        s->updater.offer("1.1.0", "### Sign-in\n\n- Remembers the username of the last session\n"
                                  "- Explains a locked account in one line\n\n### Sessions\n\n"
                                  "- Sound and microphone on every Mac\n\nSee the "
                                  "[full notes](https://updates.veldra.example/notes/1.1.0).");
        save(capture(*s->delegate), "update-notes");
    }
    { // An update downloading.
        const auto s = scene("alice", bundle.path());
        s->updater.offer("1.1.0");
        s->updater.setShouldPresentUpdate(false);
        s->updater.setIsDownloading(true);
        s->updater.setStatusMessage(QStringLiteral("Downloading\u2026"));
        s->updater.setDownloadProgress(41'234'567, 180'000'000);
        save(capture(*s->delegate), "downloading");
    }
    { // No bundled client.
        const auto s = scene({}, scratch.path() + "/Empty.app");
        save(capture(*s->delegate), "missing-client");
    }
    return failures;
}
