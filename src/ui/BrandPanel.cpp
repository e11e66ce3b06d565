#include "ui/BrandPanel.h"

#include "ui/BrandImage.h"
#include "ui/Palette.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace veldra::ui {

namespace {

QLabel* label(const QString& text, const QFont& font, const QColor& colour, int lineSpacing = 0) {
    auto* l = new QLabel;
    if (lineSpacing > 0) {
        // Rich text is the one way QLabel takes extra line spacing.
        QString html = text.toHtmlEscaped();
        html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
        l->setText(QStringLiteral("<div style=\"line-height:%1px\">%2</div>")
                       .arg(QFontMetrics(font).height() + lineSpacing)
                       .arg(html));
        l->setTextFormat(Qt::RichText);
    } else {
        l->setText(text);
        l->setTextFormat(Qt::PlainText);
    }
    l->setFont(font);
    setTextColour(l, colour);
    return l;
}

// "Secure remote access" with its green dot, on a darker rounded chip.
class Chip : public QWidget {
public:
    Chip() {
        setFixedHeight(38);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(13, 0, 13, 0);
        row->setSpacing(9);
        auto* dot = new QWidget;
        dot->setFixedSize(8, 8);
        dot->setObjectName(QStringLiteral("chipDot")); // styled by the view
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
    auto* headline =
        label(QStringLiteral("Your desktop,\nwherever you are."), headlineFont, Qt::white, 5);
    headline->setObjectName(QStringLiteral("headline"));
    column->addWidget(headline);
    column->addSpacing(18);
    auto* text = label(QStringLiteral("Secure access to the Veldra Cloud Desktop for presenters, "
                                      "producers and staff."),
                       systemFont(14), ui::description(), 5);
    text->setWordWrap(true);
    column->addWidget(text);
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
