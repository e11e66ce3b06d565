#include "ui/MovePrompt.h"

#include <QPushButton>

namespace veldra::ui {

MovePrompt::MovePrompt(UpdaterState& updater, SettingsManager& settings,
                       platform::RunningLocation location, QWidget* window)
    : QObject(window), m_updater(updater), m_settings(settings), m_location(std::move(location)),
      m_window(window) {}

QMessageBox* MovePrompt::offer() {
    using Kind = platform::RunningLocation::Kind;
    if (m_location.kind == Kind::installed || m_box ||
        m_settings.moveDeclined(m_location.originalPath))
        return nullptr;
    const QString from = m_location.kind == Kind::diskImage
                             ? QStringLiteral("from its disk image")
                             : QStringLiteral("from where it was downloaded");
    auto* box =
        new QMessageBox(QMessageBox::Question, QStringLiteral("Move to Applications?"),
                        QStringLiteral("Move to Applications?"), QMessageBox::NoButton, m_window);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(QStringLiteral("Veldra Cloud Desktop is running %1. In your "
                                           "Applications folder it opens from the Dock and "
                                           "keeps itself up to date.")
                                .arg(from));
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { font-weight: bold; }"));
    box->setObjectName(QStringLiteral("movePrompt"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton* move =
        box->addButton(QStringLiteral("Move to Applications"), QMessageBox::AcceptRole);
    QPushButton* later = box->addButton(QStringLiteral("Not Now"), QMessageBox::RejectRole);
    box->setDefaultButton(move);
    box->setEscapeButton(later);
    connect(box, &QMessageBox::finished, this, [this, box, move] {
        if (box->clickedButton() == move)
            m_updater.moveToApplications();
        else
            m_settings.setMoveDeclined(m_location.originalPath);
    });
    m_box = box;
    box->open();
    return box;
}

} // namespace veldra::ui
