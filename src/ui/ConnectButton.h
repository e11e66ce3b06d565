#pragma once

#include <QPushButton>
#include <QTimer>

namespace veldra::ui {

// The purple "Connect to Cloud Desktop" button; while connecting it shows a
// small spinner before "Connecting…".
class ConnectButton : public QPushButton {
    Q_OBJECT
public:
    explicit ConnectButton(QWidget* parent = nullptr);
    void setConnecting(bool connecting);
    bool isConnecting() const { return m_connecting; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_connecting = false;
    int m_angle = 0;
    QTimer m_spin;
};

} // namespace veldra::ui
