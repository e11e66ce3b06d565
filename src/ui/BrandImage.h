#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace veldra::ui {

// A PNG from the bundle's Resources, scaled to fit with its aspect ratio; a
// missing or unreadable image leaves its frame transparent. It is read when
// first painted, not before the window shows, and at the size it is shown:
// NAME.png, or NAME@2x.png on a screen of two device pixels to the point.
class BrandImage : public QWidget {
    Q_OBJECT
public:
    BrandImage(const QString& resourcesDir, const QString& name, QSize frame,
               QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const QPixmap& image();

    QString m_path; // without ".png"
    QPixmap m_image;
    qreal m_readFor = 0; // the device pixel ratio it was read for; 0: not read
};

} // namespace veldra::ui
