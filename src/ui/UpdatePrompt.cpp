#include "ui/UpdatePrompt.h"

#include "ui/ReleaseNotesView.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace veldra::ui {

UpdatePrompt::UpdatePrompt(UpdaterState& updater, QWidget* window)
    : QObject(window), m_updater(updater), m_window(window) {
    connect(&updater, &UpdaterState::shouldPresentUpdateChanged, this, &UpdatePrompt::sync);
    // A newer version published while the prompt is open is what "Download
    // and Install" would fetch: name that one.
    connect(&updater, &UpdaterState::latestVersionChanged, this, [this] {
        if (m_box && !m_updater.isRequired())
            m_box->setInformativeText(message(m_updater.latestVersion()));
    });
    sync();
}

void UpdatePrompt::addReleaseNotes(QMessageBox& box, const QString& version, const QString& notes) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    auto* buttons = box.findChild<QDialogButtonBox*>();
    if (notes.trimmed().isEmpty() || !grid || !buttons)
        return;
    // Under the text and above the buttons, in a region of its own height
    // that scrolls, so that the prompt keeps its size whatever the notes.
    auto* region = new QWidget(&box);
    region->setObjectName(QStringLiteral("releaseNotes"));
    auto* layout = new QVBoxLayout(region);
    layout->setContentsMargins(0, 8, 0, 8);
    auto* heading = new QLabel(QStringLiteral("What's new in %1").arg(version), region);
    heading->setStyleSheet(QStringLiteral("font-weight: bold;"));
    layout->addWidget(heading);
    auto* view = new ReleaseNotesView(notes, region);
    view->setFixedSize(360, 160);
    layout->addWidget(view);
    const int row = grid->rowCount();
    grid->removeWidget(buttons);
    grid->addWidget(region, row - 1, 0, 1, grid->columnCount());
    grid->addWidget(buttons, row, 0, 1, grid->columnCount());
}

QString UpdatePrompt::message(const QString& version) {
    return QStringLiteral("Veldra Cloud Desktop ") + version +
           QStringLiteral(" is ready. The download is verified before the installer opens.");
}

QString UpdatePrompt::requiredMessage(const QString& version, const QString& reason) {
    // One line: the publisher's, or a plain one.
    const QString why = reason.simplified();
    return (why.isEmpty() ? QStringLiteral("This version of Veldra Cloud Desktop is no longer "
                                           "supported.")
                          : why) +
           QStringLiteral(" Veldra Cloud Desktop ") + version +
           QStringLiteral(" is ready to install.");
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
    // Like a native alert: the title in bold, the message beneath it. A
    // required update says why in one line, and can only be put off for
    // this run: it comes back at the next start and after each session.
    const bool required = m_updater.isRequired();
    const QString title =
        required ? QStringLiteral("Update Required") : QStringLiteral("Update Available");
    auto* box =
        new QMessageBox(QMessageBox::Information, title, title, QMessageBox::NoButton, m_window);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(
        required ? requiredMessage(m_updater.latestVersion(), m_updater.requiredReason())
                 : message(m_updater.latestVersion()));
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { font-weight: bold; }"));
    box->setObjectName(QStringLiteral("updatePrompt"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton* install = box->addButton(required ? QStringLiteral("Update Now")
                                                   : QStringLiteral("Download and Install"),
                                          QMessageBox::AcceptRole);
    QPushButton* later = box->addButton(
        required ? QStringLiteral("Not Now") : QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(install);
    box->setEscapeButton(later);
    addReleaseNotes(*box, m_updater.latestVersion(), m_updater.releaseNotes());
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
