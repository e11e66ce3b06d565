#include "ui/Surfaces.h"

#include "ui/Palette.h"

#include <QPainter>

namespace veldra::ui {

Surface::Surface(QColor fill, qreal radius, QColor outline)
    : m_fill(fill), m_outline(outline), m_radius(radius) {}

void Surface::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (m_radius <= 0 && !m_outline.isValid()) {
        p.fillRect(rect(), m_fill);
        return;
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(m_outline.isValid() ? QPen(m_outline, 1) : QPen(Qt::NoPen));
    p.setBrush(m_fill);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
}

RoundedLabel::RoundedLabel(QColor fill, qreal radius, QMargins padding)
    : m_fill(fill), m_radius(radius) {
    setContentsMargins(padding);
}

void RoundedLabel::paintEvent(QPaintEvent* event) {
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(m_fill);
        p.drawRoundedRect(rect(), m_radius, m_radius);
    }
    QLabel::paintEvent(event);
}

QSize TextButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 4, metrics.height() + 8};
}

void TextButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QFont face = font();
    face.setUnderline(hasFocus());
    p.setFont(face);
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(rect(), Qt::AlignCenter, text());
}

FilledButton::FilledButton(QColor fill) : m_fill(fill) {}

void paintButtonFace(QPainter& p, const QRect& rect, const QColor& face, qreal radius,
                     bool focused) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawRoundedRect(rect, radius, radius);
    if (focused) {
        p.setPen(QPen(chipDot(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), radius, radius);
    }
}

void FilledButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintButtonFace(p, rect(), isDown() ? m_fill.darker(120) : m_fill, 5, hasFocus());
    p.setFont(font());
    p.setPen(Qt::white);
    p.drawText(rect(), Qt::AlignCenter, text());
}

} // namespace veldra::ui
