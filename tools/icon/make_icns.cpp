// make_icns SOURCE.png OUTPUT.icns
//
// Writes the application's icon: the brand mark on the macOS icon grid (a
// rounded-rectangle body of 824 of 1024 px, centred, with a transparent
// margin around it, as Apple's icon template lays it out), at every size the
// Finder, the Dock and the About panel ask for, as PNG entries of an Apple icon file
// ("icns", then for each entry its four-character type and its length,
// big-endian, header included). The same on every build host, so a Linux
// build carries the very icon a Mac build does.
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <cstdio>

namespace {

struct Entry {
    const char* type;
    int pixels;
};

// Apple's PNG icon types: 16, 32, 128, 256 and 512 points, each also at 2x.
constexpr Entry kEntries[] = {{"icp4", 16},  {"ic11", 32},  {"icp5", 32},  {"ic12", 64},
                              {"ic07", 128}, {"ic13", 256}, {"ic08", 256}, {"ic14", 512},
                              {"ic09", 512}, {"ic10", 1024}};

// The grid at 1024 px: the body's side and corner radius.
constexpr int kCanvas = 1024;
constexpr int kBody = 824;
constexpr qreal kCornerRadius = 185.4;

// The mark inside a white body on the grid, the rest transparent; the body
// is the size of every other application's in the Dock and the Finder.
QImage onIconGrid(const QImage& mark) {
    QImage canvas(kCanvas, kCanvas, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRectF body((kCanvas - kBody) / 2.0, (kCanvas - kBody) / 2.0, kBody, kBody);
    QPainterPath shape;
    shape.addRoundedRect(body, kCornerRadius, kCornerRadius);
    painter.fillPath(shape, Qt::white);
    painter.setClipPath(shape);
    painter.drawImage(body, mark);
    return canvas;
}

void appendBigEndian(QByteArray& out, quint32 value) {
    const quint32 be = qToBigEndian(value);
    out.append(reinterpret_cast<const char*>(&be), sizeof be);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icns SOURCE.png OUTPUT.icns\n");
        return 2;
    }
    const QImage mark(QString::fromLocal8Bit(argv[1]));
    if (mark.isNull() || mark.width() != mark.height()) {
        std::fprintf(stderr, "make_icns: %s is not a square image\n", argv[1]);
        return 1;
    }
    const QImage source = onIconGrid(mark);
    QByteArray entries;
    for (const Entry& entry : kEntries) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        const QImage scaled = source.scaled(entry.pixels, entry.pixels, Qt::IgnoreAspectRatio,
                                            Qt::SmoothTransformation);
        if (!scaled.save(&buffer, "PNG")) {
            std::fprintf(stderr, "make_icns: could not encode %d px\n", entry.pixels);
            return 1;
        }
        entries.append(entry.type, 4);
        appendBigEndian(entries, static_cast<quint32>(png.size() + 8));
        entries.append(png);
    }
    QByteArray icns("icns");
    appendBigEndian(icns, static_cast<quint32>(entries.size() + 8));
    icns.append(entries);
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly) || out.write(icns) != icns.size()) {
        std::fprintf(stderr, "make_icns: could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
