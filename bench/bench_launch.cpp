// Time from connect() to the client process having started (exec done), as the
// median of 20 launches, against QProcess starting the same program.
#include "launcher/RdpLauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace veldra;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    constexpr int kRuns = 20;
    QTemporaryDir dir;
    const QString bundle = dir.path() + "/Bench.app";
    QDir().mkpath(bundle + "/Contents/MacOS");
    const QString client = bundle + "/Contents/MacOS/freerdp";
    QFile::link("/bin/sleep", client);

    std::vector<double> launcherMs, referenceMs;
    for (int i = 0; i < kRuns; ++i) {
        RdpLauncher launcher(RdpLauncher::Configuration{
            "127.0.0.1",
            [&] { return bundle; },
            [&] { return dir.path() + "/Logs/freerdp.log"; },
            [] { return std::nullopt; },
            [] { return false; },
            std::chrono::milliseconds(3000),
        });
        QElapsedTimer timer;
        timer.start();
        launcher.connect("alice", "pw", [](const LaunchOutcome&) {});
        const qint64 ns = timer.nsecsElapsed();
        if (!launcher.activeProcess()) {
            std::fprintf(stderr, "the launch did not start a process\n");
            return 1;
        }
        launcherMs.push_back(static_cast<double>(ns) / 1e6);
        ::kill(static_cast<pid_t>(launcher.activeProcess()->processId()), SIGKILL);

        QProcess reference;
        timer.restart();
        reference.start(client, {"30"});
        reference.waitForStarted();
        referenceMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        reference.kill();
        reference.waitForFinished();
    }
    const double ours = median(launcherMs);
    const double ref = median(referenceMs);
    std::printf("connect -> client started: median %.3f ms over %d launches\n", ours, kRuns);
    std::printf("QProcess start of the same program: median %.3f ms\n", ref);
    std::printf("ratio (ours / QProcess): %.2f\n", ours / ref);
    return 0;
}
