#include "ui/BrandPanel.h"

#include "ui/BrandImage.h"
#include "ui/Palette.h"
#include "ui/Surfaces.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtMath>

namespace veldra::ui {

namespace {

QLabel* label(const QString& text, const QFont& font, const QColor& colour) {
    auto* l = new QLabel(text);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    setTextColour(l, colour);
    return l;
}

// Plain text with `spacing` more points between its lines than the font's
// own, wrapped at words to the width it is given. Laid out by itself: a rich
// text label would build a whole text document for the spacing alone.
class SpacedText : public QWidget {
public:
    SpacedText(const QString& text, const QFont& font, const QColor& colour, int spacing)
        : m_text(text), m_spacing(spacing) {
        setFont(font);
        setTextColour(this, colour);
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return lay(width, nullptr); }
    QSize sizeHint() const override {
        const int width =
            QFontMetrics(font()).boundingRect(QRect(0, 0, 10000, 10000), 0, m_text).width();
        return {width, heightForWidth(width)};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(palette().color(QPalette::WindowText));
        lay(width(), &p);
    }

private:
    // Lays the text out in `width`, drawing it when given a painter; its height.
    int lay(int width, QPainter* painter) const {
        const QFontMetricsF metrics(font());
        const qreal step = metrics.height() + m_spacing;
        qreal y = 0;
        for (const QString& paragraph : m_text.split(QLatin1Char('\n'))) {
            QTextLayout layout(paragraph, font());
            QTextOption option;
            option.setWrapMode(QTextOption::WordWrap);
            layout.setTextOption(option);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                line.setLineWidth(width);
                line.setPosition(QPointF(0, y + step - metrics.height()));
                y += step;
            }
            layout.endLayout();
            if (painter)
                layout.draw(painter, {});
        }
        return qCeil(y);
    }

    QString m_text;
    int m_spacing;
};

// "Secure remote access" with its green dot, on a darker rounded chip.
class Chip : public QWidget {
public:
    Chip() {
        setFixedHeight(38);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(13, 0, 13, 0);
        row->setSpacing(9);
        auto* dot = new Surface(chipDot(), 4);
        dot->setFixedSize(8, 8);
        row->addWidget(dot);
        row->addWidget(label(QStringLiteral("Secure remote access"),
                             systemFont(12, QFont::DemiBold), Qt::white));
        setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(chip());
        p.drawRoundedRect(rect(), 6, 6);
    }
};

// The maker's logo on a white rounded backing, always 198 × 48.
class MakerLogo : public QWidget {
public:
    explicit MakerLogo(const QString& resourcesDir) {
        setFixedSize(198, 48);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->addWidget(new BrandImage(resourcesDir, QStringLiteral("logo_tessaro"), {190, 40}));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(rect(), 4, 4);
    }
};

} // namespace

BrandPanel::BrandPanel(const QString& resourcesDir, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("brandPanel"));
    setFixedWidth(300);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(0);

    auto* logo = new BrandImage(resourcesDir, QStringLiteral("logo_veldra"), {92, 92});
    logo->setObjectName(QStringLiteral("logo_veldra"));
    column->addWidget(logo, 0, Qt::AlignLeft);
    column->addStretch(1);

    // Wide system fonts (this is the Mac's layout) take the condensed face
    // rather than clip the second line.
    QFont headlineFont = systemFont(29, QFont::DemiBold);
    const int room = 300 - 2 * 32;
    if (QFontMetrics(headlineFont).horizontalAdvance(QStringLiteral("wherever you are.")) > room)
        headlineFont.setStretch(QFont::Condensed);
    column->addWidget(new SpacedText(QStringLiteral("Your desktop,\nwherever you are."),
                                     headlineFont, Qt::white, 5));
    column->addSpacing(18);
    column->addWidget(new SpacedText(QStringLiteral("Secure access to the Veldra Cloud Desktop for "
                                                    "presenters, producers and staff."),
                                     systemFont(14), ui::description(), 5));
    column->addSpacing(28);
    column->addWidget(new Chip, 0, Qt::AlignLeft);
    column->addStretch(1);

    column->addWidget(label(QStringLiteral("A Tessaro application"), systemFont(10), makerLine()));
    column->addSpacing(8);
    column->addWidget(new MakerLogo(resourcesDir), 0, Qt::AlignLeft);
}

void BrandPanel::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), tessaroPurple());
}

} // namespace veldra::ui
