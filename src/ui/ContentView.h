#pragma once

#include <QWidget>

#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace veldra {
class RdpLauncher;
class SettingsManager;
class UpdaterState;
} // namespace veldra

namespace veldra::ui {

class ConnectButton;
class UpdatePrompt;

// The whole sign-in window: brand panel on the left; header, form and footer on
// the right. Everything shown follows the settings store, the updater and the
// view's own state.
// "41.2 MB of 180.0 MB" (decimal megabytes); only the amount received while
// the total is unknown (-1).
QString downloadProgressText(qint64 received, qint64 expected);

class ContentView : public QWidget {
    Q_OBJECT
public:
    struct Details {
        QString resourcesDir;   // the bundle's Resources
        QString appVersion;     // shown as "v" + version
        QString supportPhone;   // after "Need help?"
        QString processorLabel; // "Intel Mac"
    };

    ContentView(SettingsManager& settings, UpdaterState& updater, RdpLauncher& launcher,
                Details details, QWidget* parent = nullptr);

    // The view's state, for the window and for tests.
    bool isConnecting() const { return m_isConnecting; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    UpdatePrompt* updatePrompt() const { return m_prompt; }

    // Runs the connect action (the button, and Return from any focus).
    void connectAction();

    // Spaces and tabs removed from both ends: the enable rule's trimming.
    static QString trimSpacesAndTabs(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildHeader(const Details& details);
    QWidget* buildForm();
    QWidget* buildFooter(const Details& details);
    void refresh();

    SettingsManager& m_settings;
    UpdaterState& m_updater;
    RdpLauncher& m_launcher;

    bool m_isConnecting = false;
    bool m_isPasswordVisible = false;
    std::optional<QString> m_errorMessage;

    QLineEdit* m_username = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_showHide = nullptr;
    QWidget* m_passwordSection = nullptr;
    QWidget* m_missingClient = nullptr;
    QCheckBox* m_remember = nullptr;
    ConnectButton* m_connect = nullptr;
    QPushButton* m_banner = nullptr;
    QWidget* m_progress = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_progressText = nullptr;
    QWidget* m_bannerSpace = nullptr;
    QLabel* m_error = nullptr;
    QWidget* m_errorSpace = nullptr;
    QPushButton* m_footerButton = nullptr;
    UpdatePrompt* m_prompt = nullptr;
};

} // namespace veldra::ui
