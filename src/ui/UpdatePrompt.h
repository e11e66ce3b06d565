#pragma once

#include "updater/engine/UpdaterState.h"

#include <QMessageBox>
#include <QPointer>

namespace veldra::ui {

// The modal "Update Available" alert, shown while the updater asks for it.
class UpdatePrompt : public QObject {
    Q_OBJECT
public:
    UpdatePrompt(UpdaterState& updater, QWidget* window);
    QMessageBox* box() const { return m_box; }

    static QString message(const QString& version);
    // A required update's: why (`reason`, or a plain default), on one line.
    static QString requiredMessage(const QString& version, const QString& reason);
    // "What's new in X" and the notes, when there are any.
    static void addReleaseNotes(QMessageBox& box, const QString& version, const QString& notes);

private:
    void sync();

    UpdaterState& m_updater;
    QWidget* m_window;
    QPointer<QMessageBox> m_box;
};

} // namespace veldra::ui
