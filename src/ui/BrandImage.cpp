#include "ui/BrandImage.h"

#include <QPainter>

namespace veldra::ui {

BrandImage::BrandImage(const QString& resourcesDir, const QString& name, QSize frame,
                       QWidget* parent)
    : QWidget(parent) {
    setFixedSize(frame);
    m_image.load(resourcesDir + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG");
    setAttribute(Qt::WA_TranslucentBackground);
}

void BrandImage::paintEvent(QPaintEvent*) {
    if (m_image.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSize fitted = m_image.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                       fitted);
    painter.drawPixmap(target, m_image);
}

} // namespace veldra::ui
