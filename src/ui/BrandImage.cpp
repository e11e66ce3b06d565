#include "ui/BrandImage.h"

#include <QPainter>

namespace veldra::ui {

BrandImage::BrandImage(const QString& resourcesDir, const QString& name, QSize frame,
                       QWidget* parent)
    : QWidget(parent), m_path(resourcesDir + QLatin1Char('/') + name) {
    setFixedSize(frame);
    setAttribute(Qt::WA_TranslucentBackground);
}

const QPixmap& BrandImage::image() {
    const qreal ratio = devicePixelRatioF();
    if (m_readFor != ratio) {
        m_readFor = ratio;
        m_image.load(m_path + (ratio > 1 ? QStringLiteral("@2x.png") : QStringLiteral(".png")),
                     "PNG");
        m_image.setDevicePixelRatio(ratio > 1 ? 2 : 1);
    }
    return m_image;
}

void BrandImage::paintEvent(QPaintEvent*) {
    const QPixmap& picture = image();
    if (picture.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSize fitted =
        picture.deviceIndependentSize().toSize().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                       fitted);
    painter.drawPixmap(target, picture);
}

} // namespace veldra::ui
