#pragma once

#include "updater/engine/UpdaterState.h"

#include <optional>

namespace veldra::test {

// Updater state set by hand; records the requests the interface makes.
class FakeUpdater : public UpdaterState {
    Q_OBJECT
public:
    using UpdaterState::setDownloadProgress;
    using UpdaterState::setIsDownloading;
    using UpdaterState::setReplacedBy;
    using UpdaterState::setStatusMessage;
    using UpdaterState::UpdaterState;

    void checkForUpdates(bool manual, CheckCompletion completion = {}) override {
        manualChecks += manual;
        if (completion)
            completion(false);
    }
    void startDownload() override {}
    void moveToApplications() override { ++moves; }
    void relaunch() override { ++relaunches; }

    // Publishes a newer version as a check would; `required`: why this copy must take it.
    void offer(const QString& version, const QString& notes = {},
               std::optional<QString> required = std::nullopt) {
        setLatestVersion(version);
        setReleaseNotes(notes);
        setRequired(required.has_value(), required.value_or(QString()));
        setHasUpdate(true);
        setStatusMessage(QStringLiteral("Update available"));
        setShouldPresentUpdate(true);
    }

    int manualChecks = 0;
    int moves = 0;
    int relaunches = 0;
};

} // namespace veldra::test
