// Process start to first frame, and resident memory at that frame: the sign-in
// window against a bare Qt Widgets window of the same size and flags. Run it on
// a display (the numbers in the README come from Xvfb):
//   bench_startup            (driver: 10 alternating launches of each)
//   bench_startup app|bare   (one child; prints "<rss KiB>" at its first frame)
#include "app/AppDelegate.h"
#include "launcher/RdpLauncher.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "settings/SettingsManager.h"
#include "updater/MacUpdater.h"
#include "updater/Version.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace veldra;

namespace {

qint64 rssKiB() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Reports once, right after the window's first paint has been flushed.
class FirstFrame : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, [] {
                std::printf("%lld\n", static_cast<long long>(rssKiB()));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};

int child(int argc, char* argv[], bool app) {
    QApplication application(argc, argv);
    FirstFrame probe;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<QMainWindow> bare;
    if (app) {
        delegate = std::make_unique<AppDelegate>(
            SettingsManager::shared(), MacUpdater::shared(), RdpLauncher::shared(),
            ui::ContentView::Details{platform::mainBundlePath() + "/Contents/Resources",
                                     currentAppVersion(), "+1 555 0100", "Intel Mac"});
        delegate->applicationDidFinishLaunching();
        delegate->window()->installEventFilter(&probe);
    } else {
        bare = std::make_unique<QMainWindow>();
        auto* content = new QWidget;
        content->setFixedSize(860, 570);
        bare->setCentralWidget(content);
        bare->setWindowTitle("Veldra Cloud Desktop");
        platform::styleMainWindow(bare.get());
        bare->setFixedSize(bare->sizeHint());
        bare->installEventFilter(&probe);
        bare->show();
    }
    return QApplication::exec();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 1)
        return child(argc, argv, QByteArray(argv[1]) == "app");

    QCoreApplication driver(argc, argv);
    std::vector<double> appMs, bareMs, appRss, bareRss;
    for (int round = 0; round < 10; ++round) {
        for (const char* mode : {"app", "bare"}) {
            QProcess process;
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            QElapsedTimer timer;
            timer.start();
            process.start(QCoreApplication::applicationFilePath(), {mode});
            if (!process.waitForReadyRead(30000))
                return 1;
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            const double rss = process.readLine().trimmed().toDouble();
            process.waitForFinished(10000);
            (QByteArray(mode) == "app" ? appMs : bareMs).push_back(ms);
            (QByteArray(mode) == "app" ? appRss : bareRss).push_back(rss);
        }
    }
    std::printf("first frame: sign-in window %.1f ms, bare window %.1f ms (medians of 10)\n",
                median(appMs), median(bareMs));
    std::printf("startup ratio (ours / bare): %.2f  (goal <= 1.25)\n",
                median(appMs) / median(bareMs));
    std::printf("resident memory at first frame: %.1f MiB vs %.1f MiB\n", median(appRss) / 1024,
                median(bareRss) / 1024);
    std::printf("memory ratio (ours / bare): %.2f  (goal <= 1.25)\n",
                median(appRss) / median(bareRss));
    return 0;
}
