#pragma once

#include "updater/engine/UpdaterState.h"

namespace veldra::test {

// Updater state set by hand; records the requests the interface makes.
class FakeUpdater : public UpdaterState {
    Q_OBJECT
public:
    using UpdaterState::setDownloadProgress;
    using UpdaterState::setIsDownloading;
    using UpdaterState::setStatusMessage;
    using UpdaterState::UpdaterState;

    void checkForUpdates(bool manual, CheckCompletion completion = {}) override {
        manual ? ++manualChecks : ++automaticChecks;
        if (completion)
            completion(false);
    }
    void startDownload() override { ++downloadsStarted; }
    void moveToApplications() override { ++moves; }

    // Publishes a newer version as a check would.
    void offer(const QString& version, const QString& notes = {}) {
        setLatestVersion(version);
        setReleaseNotes(notes);
        setHasUpdate(true);
        setStatusMessage(QStringLiteral("Update available"));
        setShouldPresentUpdate(true);
    }

    int manualChecks = 0;
    int automaticChecks = 0;
    int downloadsStarted = 0;
    int moves = 0;
};

} // namespace veldra::test
