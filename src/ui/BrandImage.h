#pragma once

#include <QPixmap>
#include <QWidget>

namespace veldra::ui {

// A PNG from the bundle's Resources, scaled to fit with its aspect ratio; a
// missing or unreadable image leaves its frame transparent.
class BrandImage : public QWidget {
    Q_OBJECT
public:
    BrandImage(const QString& resourcesDir, const QString& name, QSize frame,
               QWidget* parent = nullptr);
    bool hasImage() const { return !m_image.isNull(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_image;
};

} // namespace veldra::ui
