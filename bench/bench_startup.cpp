// Process start to the first map of a top-level window, and the process's
// resident memory at that moment, measured from outside: the executable users
// start against bench_bare_window, a bare main window of the same size and
// menus, and the same bare window showing a line in each face of text the
// sign-in window shows (what fonts alone cost). Run it on an X display (the
// README's figures come from Xvfb):
//   bench_startup [ROUNDS [APP_EXECUTABLE BARE_EXECUTABLE]]
// ROUNDS (10) alternating starts of each; medians printed.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

qint64 rssKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Sample {
    double ms = -1;
    double rssKiB = -1;
};

// Starts `program` and waits for a top-level window of any client to map.
Sample measure(xcb_connection_t* x, const QString& program, const QStringList& arguments,
               const QString& home) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/state"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    Sample sample;
    const int fd = xcb_get_file_descriptor(x);
    while (sample.ms < 0 && timer.elapsed() < 30000) {
        pollfd wait{fd, POLLIN, 0};
        ::poll(&wait, 1, 100);
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY && sample.ms < 0) {
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                if (!map->override_redirect) {
                    sample.ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
                    sample.rssKiB = static_cast<double>(rssKiB(process.processId()));
                }
            }
            std::free(event);
        }
    }
    process.kill();
    process.waitForFinished(10000);
    return sample;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication driver(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const QString app = argc > 3 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(APP_EXECUTABLE);
    const QString bare =
        argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral(BARE_EXECUTABLE);

    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    QTemporaryDir home;
    struct Subject {
        QString program;
        QStringList arguments;
        std::vector<double> ms, rss;
    };
    Subject ours{app, {}, {}, {}}, bareWindow{bare, {}, {}, {}},
        withFaces{bare, {QStringLiteral("--faces")}, {}, {}};
    for (int round = 0; round < rounds; ++round) {
        for (Subject* subject : {&ours, &bareWindow, &withFaces}) {
            const Sample sample = measure(x, subject->program, subject->arguments, home.path());
            if (sample.ms < 0) {
                std::fprintf(stderr, "no window mapped for %s\n", qPrintable(subject->program));
                return 1;
            }
            subject->ms.push_back(sample.ms);
            subject->rss.push_back(sample.rssKiB);
        }
    }
    xcb_disconnect(x);
    std::printf("first map: the application %.1f ms, bare window %.1f ms (medians of %d)\n",
                median(ours.ms), median(bareWindow.ms), rounds);
    std::printf("startup ratio (ours / bare): %.2f  (goal <= 1.10)\n",
                median(ours.ms) / median(bareWindow.ms));
    std::printf("resident memory at first map: %.1f MiB vs %.1f MiB\n", median(ours.rss) / 1024,
                median(bareWindow.rss) / 1024);
    std::printf("memory ratio (ours / bare): %.2f  (goal <= 1.10)\n",
                median(ours.rss) / median(bareWindow.rss));
    std::printf("the bare window with our text faces: %.1f ms, %.2f of the bare window's; "
                "ours %.2f of it\n",
                median(withFaces.ms), median(withFaces.ms) / median(bareWindow.ms),
                median(ours.ms) / median(withFaces.ms));
    return 0;
}
