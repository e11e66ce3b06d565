#pragma once

#include "platform/RunningLocation.h"
#include "settings/SettingsManager.h"
#include "updater/engine/UpdaterState.h"

#include <QMessageBox>
#include <QPointer>

namespace veldra::ui {

// Offers a copy that runs from its disk image, or translocated, to move
// itself to Applications: once per copy, until the user says "Not Now".
class MovePrompt : public QObject {
    Q_OBJECT
public:
    MovePrompt(UpdaterState& updater, SettingsManager& settings, platform::RunningLocation location,
               QWidget* window);
    // Shows the offer where it applies; the box, or null.
    QMessageBox* offer();

private:
    UpdaterState& m_updater;
    SettingsManager& m_settings;
    platform::RunningLocation m_location;
    QWidget* m_window;
    QPointer<QMessageBox> m_box;
};

} // namespace veldra::ui
