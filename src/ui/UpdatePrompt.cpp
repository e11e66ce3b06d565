#include "ui/UpdatePrompt.h"

#include <QPushButton>

namespace veldra::ui {

UpdatePrompt::UpdatePrompt(UpdaterState& updater, QWidget* window)
    : QObject(window), m_updater(updater), m_window(window) {
    connect(&updater, &UpdaterState::shouldPresentUpdateChanged, this, &UpdatePrompt::sync);
    // A newer version published while the prompt is open is what "Download
    // and Install" would fetch: name that one.
    connect(&updater, &UpdaterState::latestVersionChanged, this, [this] {
        if (m_box)
            m_box->setInformativeText(message(m_updater.latestVersion()));
    });
    sync();
}

QString UpdatePrompt::message(const QString& version) {
    return QStringLiteral("Veldra Cloud Desktop ") + version +
           QStringLiteral(" is ready. The download is verified before the installer opens.");
}

void UpdatePrompt::sync() {
    if (!m_updater.shouldPresentUpdate()) {
        // The updater withdrew the offer: close without acting on it.
        if (m_box)
            m_box->done(QMessageBox::RejectRole);
        return;
    }
    if (m_box)
        return;
    // Like a native alert: the title in bold, the message beneath it.
    auto* box =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Update Available"),
                        QStringLiteral("Update Available"), QMessageBox::NoButton, m_window);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(message(m_updater.latestVersion()));
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { font-weight: bold; }"));
    box->setObjectName(QStringLiteral("updatePrompt"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton* install =
        box->addButton(QStringLiteral("Download and Install"), QMessageBox::AcceptRole);
    QPushButton* later = box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(install);
    box->setEscapeButton(later);
    connect(box, &QMessageBox::finished, this, [this, box, install] {
        const bool accepted = box->clickedButton() == install;
        m_box = nullptr; // deleted on close, later; a new offer needs a new box
        m_updater.setShouldPresentUpdate(false);
        if (accepted)
            m_updater.startDownload();
    });
    m_box = box;
    box->open();
}

} // namespace veldra::ui
