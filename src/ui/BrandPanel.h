#pragma once

#include <QWidget>

namespace veldra::ui {

class BrandImage;

// The purple column on the left of the sign-in window.
class BrandPanel : public QWidget {
    Q_OBJECT
public:
    explicit BrandPanel(const QString& resourcesDir, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace veldra::ui
