// Saves the whole first screen of the current display as a PNG:
//   screenshot OUT.png [--until-colour #RRGGBB TIMEOUT_MS]
// With --until-colour it grabs again until the screen shows that colour (a
// remote desktop's background, once its client has drawn a frame), and fails
// if it never does. A video codec's rounding (a step or two per channel) still
// counts as the colour; a tint does not.
#include <QColor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdlib>

namespace {

bool near(QRgb a, QRgb b) {
    constexpr int kTolerance = 6;
    return std::abs(qRed(a) - qRed(b)) <= kTolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= kTolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= kTolerance;
}

// Enough pixels of `colour` to be a background, not a stray dot.
bool shows(const QImage& image, QRgb colour) {
    qsizetype hits = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4)
            if (near(image.pixel(x, y), colour) && ++hits > 1000)
                return true;
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 2 || !QGuiApplication::primaryScreen())
        return 2;
    const QStringList args = app.arguments();
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    if (args.size() >= 5 && args.at(2) == QLatin1String("--until-colour")) {
        const QRgb colour = QColor(args.at(3)).rgb();
        QElapsedTimer clock;
        clock.start();
        while (!shows(shot.toImage(), colour)) {
            if (clock.elapsed() > args.at(4).toLongLong()) {
                shot.save(QString::fromLocal8Bit(argv[1]), "PNG");
                return 3;
            }
            QThread::msleep(200);
            shot = QGuiApplication::primaryScreen()->grabWindow(0);
        }
    }
    return shot.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
