#include "ui/ConnectButton.h"

#include "ui/Palette.h"
#include "ui/Surfaces.h"

#include <QPainter>

namespace veldra::ui {

ConnectButton::ConnectButton(QWidget* parent)
    : QPushButton(QStringLiteral("Connect to Cloud Desktop"), parent) {
    setFixedHeight(44);
    setFont(systemFont(14, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    m_spin.setInterval(80);
    connect(&m_spin, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

void ConnectButton::setConnecting(bool connecting) {
    m_connecting = connecting;
    setText(connecting ? QStringLiteral("Connecting\u2026")
                       : QStringLiteral("Connect to Cloud Desktop"));
    connecting ? m_spin.start() : m_spin.stop();
    update();
}

void ConnectButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (!isEnabled())
        p.setOpacity(0.45);
    paintButtonFace(p, rect(), isDown() ? tessaroPurple().darker(125) : tessaroPurple(), 6,
                    hasFocus());

    p.setFont(font());
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    const int spinner = m_connecting ? 13 : 0; // a small spinner, about 0.65 of a regular one
    const int gap = m_connecting ? 8 : 0;
    int x = (width() - textWidth - spinner - gap) / 2;
    if (m_connecting) {
        const QRectF circle(x, (height() - spinner) / 2.0, spinner, spinner);
        p.setPen(QPen(QColor(255, 255, 255, 70), 2));
        p.drawEllipse(circle);
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(circle, -m_angle * 16, 90 * 16);
        x += spinner + gap;
    }
    p.setPen(Qt::white);
    p.drawText(QRect(x, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

} // namespace veldra::ui
