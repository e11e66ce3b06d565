#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QWidget>

namespace veldra::ui {

// Colours of the sign-in window, as sRGB fractions.
inline QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}
inline QColor tessaroPurple() {
    return rgb(0.14, 0.075, 0.30);
}
inline QColor primaryText() {
    return rgb(0.095, 0.13, 0.18);
}
inline QColor secondaryText() {
    return rgb(0.32, 0.38, 0.45);
}
inline QColor border() {
    return rgb(0.78, 0.81, 0.85);
}
inline QColor band() {
    return rgb(0.98, 0.985, 0.99);
}
inline QColor domainTag() {
    return rgb(0.945, 0.935, 0.97);
}
inline QColor missingClient() {
    return rgb(0.96, 0.95, 0.98);
}
inline QColor updateBanner() {
    return rgb(0.09, 0.51, 0.36);
}
inline QColor errorBackground() {
    return rgb(0.99, 0.92, 0.93);
}
inline QColor errorText() {
    return rgb(0.55, 0.09, 0.13);
}
inline QColor description() {
    return rgb(0.84, 0.81, 0.92);
}
inline QColor chip() {
    return rgb(0.22, 0.14, 0.40);
}
inline QColor chipDot() {
    return rgb(0.41, 0.82, 0.65);
}
inline QColor makerLine() {
    return rgb(0.66, 0.61, 0.78);
}

// The system font at a size in points (one point is one logical pixel).
inline QFont systemFont(int size, QFont::Weight weight = QFont::Normal) {
    QFont font;
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

// Text colour through the palette: no style sheet of its own to parse.
inline void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

} // namespace veldra::ui
