#pragma once

#include <QColor>
#include <QLabel>
#include <QMargins>
#include <QPainter>
#include <QPushButton>
#include <QWidget>

namespace veldra::ui {

// The view's surfaces, each painting itself: no style sheet to parse and
// match against every widget while the window opens.

// A rectangle of one colour, rounded and outlined if asked: the bands and
// dividers, the text fields' boxes, the chip's dot.
class Surface : public QWidget {
public:
    explicit Surface(QColor fill, qreal radius = 0, QColor outline = {});

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_fill, m_outline;
    qreal m_radius;
};

// Text on a rounded background of its own: the domain tag, the error box.
class RoundedLabel : public QLabel {
public:
    RoundedLabel(QColor fill, qreal radius, QMargins padding);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_fill;
    qreal m_radius;
};

// A button that is only its text, in the label's colour: "Show", "Check for
// updates". Focused, it is underlined.
class TextButton : public QPushButton {
public:
    TextButton() = default;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A button's rounded face of one colour, ringed while it has the focus.
void paintButtonFace(QPainter& p, const QRect& rect, const QColor& face, qreal radius,
                     bool focused);

// A rounded button of one colour with white text, darker while pressed: the
// update banner.
class FilledButton : public QPushButton {
public:
    explicit FilledButton(QColor fill);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_fill;
};

} // namespace veldra::ui
