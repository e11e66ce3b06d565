#include "ui/ContentView.h"

#include "launcher/RdpLauncher.h"
#include "settings/SettingsManager.h"
#include "ui/BrandPanel.h"
#include "ui/ConnectButton.h"
#include "ui/Palette.h"
#include "ui/Surfaces.h"
#include "ui/UpdatePrompt.h"
#include "updater/engine/UpdaterState.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace veldra::ui {

namespace {

QLabel* text(const QString& content, const QFont& font, const QColor& colour) {
    auto* label = new QLabel(content);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColour(label, colour);
    return label;
}

QWidget* divider() {
    auto* line = new Surface(rgb(0.9, 0.91, 0.93));
    line->setObjectName(QStringLiteral("divider"));
    line->setFixedHeight(1);
    return line;
}

QWidget* band(const QString& name) {
    auto* widget = new Surface(ui::band());
    widget->setObjectName(name);
    return widget;
}

// A white box with a 1-point rounded outline around a text field.
QWidget* fieldBox(const QString& name) {
    auto* box = new Surface(Qt::white, 5, border());
    box->setObjectName(name);
    box->setFixedHeight(42);
    return box;
}

QLineEdit* plainField(const QString& placeholder, const QString& accessibleName) {
    auto* field = new QLineEdit;
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(accessibleName);
    field->setFrame(false);
    field->setFont(systemFont(13));
    // On the box's white: no background of its own.
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Text, primaryText());
    field->setPalette(palette);
    return field;
}

// A shield with a lock, drawn: the symbol of the missing-client box.
class LockShield : public QWidget {
public:
    LockShield() { setFixedSize(16, 18); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shield;
        shield.moveTo(8, 0.5);
        shield.lineTo(15, 3);
        shield.lineTo(15, 8.5);
        shield.cubicTo(15, 13, 11.5, 16, 8, 17.5);
        shield.cubicTo(4.5, 16, 1, 13, 1, 8.5);
        shield.lineTo(1, 3);
        shield.closeSubpath();
        p.setPen(QPen(tessaroPurple(), 1.4));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shield);
        p.setPen(Qt::NoPen);
        p.setBrush(tessaroPurple());
        p.drawRoundedRect(QRectF(5, 8, 6, 4.5), 1, 1);
        p.setPen(QPen(tessaroPurple(), 1.2));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(6, 5, 4, 6), 0, 180 * 16);
    }
};

} // namespace

QString ContentView::trimSpacesAndTabs(const QString& text) {
    const auto blank = [](QChar c) {
        return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
    };
    qsizetype begin = 0, end = text.size();
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

ContentView::ContentView(SettingsManager& settings, UpdaterState& updater, RdpLauncher& launcher,
                         Details details, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_updater(updater), m_launcher(launcher) {
    setObjectName(QStringLiteral("contentView"));
    setFixedSize(860, 570);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(new BrandPanel(details.resourcesDir));

    auto* right = new QWidget;
    right->setObjectName(QStringLiteral("rightColumn"));
    auto* column = new QVBoxLayout(right);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader(details));
    column->addWidget(divider());
    column->addWidget(buildForm(), 1);
    column->addWidget(divider());
    column->addWidget(buildFooter(details));
    root->addWidget(right, 1);

    // Follow the settings store and the updater.
    connect(&settings, &SettingsManager::rememberUsernameChanged, this,
            [this](bool remember) { m_remember->setChecked(remember); });
    for (auto signal : {&UpdaterState::hasUpdateChanged, &UpdaterState::latestVersionChanged,
                        &UpdaterState::isDownloadingChanged, &UpdaterState::statusMessageChanged,
                        &UpdaterState::downloadProgressChanged, &UpdaterState::replacedByChanged})
        connect(&updater, signal, this, &ContentView::refresh);

    // When shown: the remembered username, if remembering.
    if (settings.rememberUsername())
        m_username->setText(settings.savedUsername());
    m_remember->setChecked(settings.rememberUsername());
    // The organisation's choice is shown, and not the user's to change.
    m_remember->setEnabled(!settings.isRememberUsernameForced());

    setTabOrder(m_username, m_password);
    setTabOrder(m_password, m_showHide);
    setTabOrder(m_showHide, m_remember);
    setTabOrder(m_remember, m_connect);
    setTabOrder(m_connect, m_banner);
    setTabOrder(m_banner, m_footerButton);
    m_username->setFocus();

    m_prompt = new UpdatePrompt(updater, this);
    // A required update comes back once the user ends a session.
    connect(&launcher, &RdpLauncher::activeProcessChanged, this, [this] {
        if (!m_launcher.activeProcess() && m_updater.isRequired() && m_updater.hasUpdate() &&
            !m_updater.isDownloading())
            m_updater.setShouldPresentUpdate(true);
    });
    refresh();
}

QWidget* ContentView::buildHeader(const Details& details) {
    QWidget* header = band(QStringLiteral("header"));
    header->setFixedHeight(48);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(38, 0, 38, 0);
    row->addWidget(text(QStringLiteral("Veldra Cloud Desktop"), systemFont(12, QFont::DemiBold),
                        secondaryText()));
    row->addStretch(1);
    row->addWidget(text(details.processorLabel, systemFont(11), secondaryText()));
    return header;
}

QWidget* ContentView::buildForm() {
    auto* area = new QWidget;
    auto* outer = new QVBoxLayout(area);
    outer->setContentsMargins(56, 28, 56, 28);
    outer->setSpacing(0);
    outer->addStretch(1);

    outer->addWidget(
        text(QStringLiteral("Sign in"), systemFont(25, QFont::DemiBold), primaryText()));
    outer->addSpacing(5);
    outer->addWidget(
        text(QStringLiteral("Use your Veldra account to start a remote desktop session."),
             systemFont(13), secondaryText()));
    outer->addSpacing(22);
    outer->addWidget(
        text(QStringLiteral("Veldra username"), systemFont(12, QFont::DemiBold), primaryText()));
    outer->addSpacing(6);

    QWidget* userBox = fieldBox(QStringLiteral("usernameBox"));
    auto* userRow = new QHBoxLayout(userBox);
    userRow->setContentsMargins(5, 5, 5, 5);
    userRow->setSpacing(8);
    auto* tag = new RoundedLabel(domainTag(), 4, {12, 0, 13, 0});
    tag->setText(QStringLiteral("VELDRA\\"));
    tag->setTextFormat(Qt::PlainText);
    tag->setFont(systemFont(11, QFont::DemiBold));
    setTextColour(tag, tessaroPurple());
    tag->setObjectName(QStringLiteral("domainTag"));
    tag->setFixedHeight(30);
    userRow->addWidget(tag);
    m_username = plainField(QStringLiteral("Username"), QStringLiteral("Veldra username"));
    userRow->addWidget(m_username, 1);
    outer->addWidget(userBox);
    outer->addSpacing(15);

    // Password, or in its place the missing-client notice.
    m_passwordSection = new QWidget;
    auto* passwordColumn = new QVBoxLayout(m_passwordSection);
    passwordColumn->setContentsMargins(0, 0, 0, 0);
    passwordColumn->setSpacing(0);
    passwordColumn->addWidget(
        text(QStringLiteral("Password"), systemFont(12, QFont::DemiBold), primaryText()));
    passwordColumn->addSpacing(6);
    QWidget* passwordBox = fieldBox(QStringLiteral("passwordBox"));
    auto* passwordRow = new QHBoxLayout(passwordBox);
    passwordRow->setContentsMargins(12, 0, 12, 0);
    m_password = plainField(QStringLiteral("Password"), QStringLiteral("Password"));
    m_password->setEchoMode(QLineEdit::Password);
    passwordRow->addWidget(m_password, 1);
    m_showHide = new TextButton;
    m_showHide->setText(QStringLiteral("Show"));
    setTextColour(m_showHide, secondaryText());
    m_showHide->setAccessibleName(QStringLiteral("Show password"));
    m_showHide->setFont(systemFont(11, QFont::DemiBold));
    m_showHide->setCursor(Qt::PointingHandCursor);
    m_showHide->setObjectName(QStringLiteral("showHide"));
    passwordRow->addWidget(m_showHide);
    passwordColumn->addWidget(passwordBox);
    outer->addWidget(m_passwordSection);

    m_missingClient = new Surface(missingClient(), 5);
    m_missingClient->setObjectName(QStringLiteral("missingClient"));
    auto* missingRow = new QHBoxLayout(m_missingClient);
    missingRow->setContentsMargins(11, 11, 11, 11);
    missingRow->setSpacing(9);
    missingRow->addWidget(new LockShield, 0, Qt::AlignTop);
    QLabel* missingText =
        text(QStringLiteral(
                 "The bundled FreeRDP component is unavailable. Reinstall Veldra Cloud Desktop."),
             systemFont(12), secondaryText());
    missingText->setWordWrap(true);
    missingRow->addWidget(missingText, 1);
    outer->addWidget(m_missingClient);
    outer->addSpacing(10);

    m_remember = new QCheckBox(QStringLiteral("Remember my username on this Mac"));
    m_remember->setFont(systemFont(12));
    setTextColour(m_remember, secondaryText());
    m_remember->setObjectName(QStringLiteral("remember"));
    outer->addWidget(m_remember);
    outer->addSpacing(18);

    m_connect = new ConnectButton;
    m_connect->setAccessibleName(QStringLiteral("Connect to Cloud Desktop"));
    outer->addWidget(m_connect);

    m_bannerSpace = new QWidget;
    m_bannerSpace->setFixedHeight(12);
    outer->addWidget(m_bannerSpace);
    m_banner = new FilledButton(updateBanner());
    m_banner->setObjectName(QStringLiteral("updateBanner"));
    m_banner->setMinimumHeight(36);
    m_banner->setFont(systemFont(12, QFont::DemiBold));
    m_banner->setCursor(Qt::PointingHandCursor);
    outer->addWidget(m_banner);

    // Where the banner was, while the update downloads.
    m_progress = new QWidget;
    m_progress->setObjectName(QStringLiteral("downloadProgress"));
    auto* progressColumn = new QVBoxLayout(m_progress);
    progressColumn->setContentsMargins(0, 0, 0, 0);
    progressColumn->setSpacing(6);
    m_progressBar = new QProgressBar;
    m_progressBar->setAccessibleName(QStringLiteral("Download progress"));
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(8);
    progressColumn->addWidget(m_progressBar);
    m_progressText = text(QString(), systemFont(11), secondaryText());
    m_progressText->setObjectName(QStringLiteral("downloadProgressText"));
    progressColumn->addWidget(m_progressText);
    outer->addWidget(m_progress);

    m_errorSpace = new QWidget;
    m_errorSpace->setFixedHeight(12);
    outer->addWidget(m_errorSpace);
    m_error = new RoundedLabel(errorBackground(), 5, {12, 9, 12, 9});
    m_error->setTextFormat(Qt::PlainText);
    m_error->setFont(systemFont(12));
    setTextColour(m_error, errorText());
    m_error->setObjectName(QStringLiteral("errorBox"));
    m_error->setWordWrap(true);
    m_error->setAccessibleName(QStringLiteral("Error"));
    outer->addWidget(m_error);
    outer->addStretch(1);

    connect(m_username, &QLineEdit::textChanged, this, &ContentView::refresh);
    connect(m_password, &QLineEdit::textChanged, this, &ContentView::refresh);
    connect(m_connect, &QPushButton::clicked, this, &ContentView::connectAction);
    connect(m_showHide, &QPushButton::clicked, this, [this] {
        m_isPasswordVisible = !m_isPasswordVisible;
        refresh();
    });
    connect(m_remember, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked != m_settings.rememberUsername())
            m_settings.setRememberUsername(checked);
    });
    connect(m_banner, &QPushButton::clicked, this, [this] {
        if (m_updater.replacedBy().isEmpty())
            m_updater.startDownload();
        else
            m_updater.relaunch();
    });
    return area;
}

QWidget* ContentView::buildFooter(const Details& details) {
    QWidget* footer = band(QStringLiteral("footer"));
    footer->setFixedHeight(50);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(20, 0, 20, 0);
    row->setSpacing(0);
    row->addWidget(text(QStringLiteral("Need help?  ") + details.supportPhone, systemFont(11),
                        secondaryText()));
    row->addStretch(1);
    m_footerButton = new TextButton;
    m_footerButton->setObjectName(QStringLiteral("footerUpdateButton"));
    setTextColour(m_footerButton, tessaroPurple());
    m_footerButton->setFont(systemFont(11));
    m_footerButton->setCursor(Qt::PointingHandCursor);
    connect(m_footerButton, &QPushButton::clicked, this,
            [this] { m_updater.checkForUpdates(true); });
    row->addWidget(m_footerButton);
    row->addSpacing(10);
    QLabel* version =
        text(QStringLiteral("v") + details.appVersion, systemFont(11), secondaryText());
    version->setObjectName(QStringLiteral("versionText"));
    row->addWidget(version);
    return footer;
}

void ContentView::refresh() {
    const bool hasClient = m_launcher.bundledFreeRdpPath().has_value();
    m_passwordSection->setVisible(hasClient);
    m_missingClient->setVisible(!hasClient);

    m_password->setEchoMode(m_isPasswordVisible ? QLineEdit::Normal : QLineEdit::Password);
    m_showHide->setText(m_isPasswordVisible ? QStringLiteral("Hide") : QStringLiteral("Show"));
    m_showHide->setAccessibleName(m_isPasswordVisible ? QStringLiteral("Hide password")
                                                      : QStringLiteral("Show password"));

    m_connect->setConnecting(m_isConnecting);
    m_connect->setEnabled(!m_isConnecting && !m_updater.isDownloading() &&
                          !trimSpacesAndTabs(m_username->text()).isEmpty() && hasClient &&
                          !m_password->text().isEmpty());

    // A copy replaced under this one: the banner relaunches, whatever was offered.
    const bool replaced = !m_updater.replacedBy().isEmpty();
    const bool offers = m_updater.hasUpdate() || replaced;
    m_banner->setText(replaced ? QStringLiteral("Relaunch")
                               : QStringLiteral("Version ") + m_updater.latestVersion() +
                                     QStringLiteral(" is ready \u2014 install now"));
    m_banner->setAccessibleName(m_banner->text());
    const bool downloading = m_updater.isDownloading();
    m_banner->setVisible(offers && !downloading);
    m_bannerSpace->setVisible(offers || downloading);
    m_progress->setVisible(downloading);
    if (downloading) {
        const qint64 received = m_updater.bytesReceived();
        const qint64 expected = m_updater.bytesExpected();
        if (expected > 0) {
            m_progressBar->setRange(0, 1000);
            m_progressBar->setValue(
                static_cast<int>(std::clamp<qint64>(received * 1000 / expected, 0, 1000)));
        } else {
            m_progressBar->setRange(0, 0); // busy: the total is not known yet
        }
        m_progressText->setText(downloadProgressText(received, expected));
        m_progressBar->setAccessibleDescription(m_progressText->text());
    }

    m_error->setText(m_errorMessage.value_or(QString()));
    m_error->setVisible(m_errorMessage.has_value());
    m_errorSpace->setVisible(m_errorMessage.has_value());

    const QString status = m_updater.statusMessage();
    m_footerButton->setText(status.isEmpty() ? QStringLiteral("Check for updates") : status);
    m_footerButton->setAccessibleName(m_footerButton->text());
}

QString downloadProgressText(qint64 received, qint64 expected) {
    // Decimal megabytes, one place, as the Finder counts them.
    const auto megabytes = [](qint64 bytes) {
        return QString::number(static_cast<double>(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
    };
    if (expected <= 0)
        return megabytes(received);
    return megabytes(received) + QStringLiteral(" of ") + megabytes(expected);
}

void ContentView::keyPressEvent(QKeyEvent* event) {
    // The connect button is the window's default action. A Return that no
    // control used for itself (the fields, the checkbox and the buttons pass
    // it on) reaches here from any focus in the form.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (m_connect->isEnabled())
            connectAction();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ContentView::connectAction() {
    const QString username = m_username->text().trimmed();
    if (m_isConnecting || m_updater.isDownloading() || username.isEmpty() ||
        !m_launcher.bundledFreeRdpPath() || m_password->text().isEmpty())
        return;
    m_isConnecting = true;
    m_errorMessage.reset();
    refresh();
    m_settings.recordUsername(username);
    QPointer<ContentView> self(this);
    m_launcher.connect(username, m_password->text(), [self](const LaunchOutcome& outcome) {
        if (!self)
            return;
        self->m_isConnecting = false;
        if (outcome.succeeded())
            self->m_password->clear();
        else
            self->m_errorMessage =
                QStringLiteral("Connection failed: ") + outcome.errorDescription();
        self->refresh();
    });
}

} // namespace veldra::ui
