#pragma once

#include "updater/UpdaterState.h"

namespace veldra::test {

// Updater state set by hand; records the requests the interface makes.
class FakeUpdater : public UpdaterState {
    Q_OBJECT
public:
    using UpdaterState::UpdaterState;

    bool hasUpdate() const override { return m_hasUpdate; }
    QString latestVersion() const override { return m_latestVersion; }
    QString downloadUrl() const override { return {}; }
    bool isDownloading() const override { return m_isDownloading; }
    QString statusMessage() const override { return m_statusMessage; }
    bool shouldPresentUpdate() const override { return m_shouldPresentUpdate; }
    bool isChecking() const override { return false; }
    qint64 bytesReceived() const override { return m_received; }
    qint64 bytesExpected() const override { return m_expected; }
    void setProgress(qint64 received, qint64 expected) {
        m_received = received;
        m_expected = expected;
        Q_EMIT downloadProgressChanged();
    }
    void setShouldPresentUpdate(bool present) override {
        if (m_shouldPresentUpdate == present)
            return;
        m_shouldPresentUpdate = present;
        Q_EMIT shouldPresentUpdateChanged();
    }
    void checkForUpdates(bool manual, CheckCompletion completion = {}) override {
        manual ? ++manualChecks : ++automaticChecks;
        if (completion)
            completion(false);
    }
    void startDownload() override { ++downloadsStarted; }

    // Publishes a newer version as a check would.
    void offer(const QString& version) {
        m_latestVersion = version;
        Q_EMIT latestVersionChanged();
        m_hasUpdate = true;
        Q_EMIT hasUpdateChanged();
        setStatus(QStringLiteral("Update available"));
        setShouldPresentUpdate(true);
    }
    void setDownloading(bool downloading) {
        m_isDownloading = downloading;
        Q_EMIT isDownloadingChanged();
    }
    void setStatus(const QString& status) {
        m_statusMessage = status;
        Q_EMIT statusMessageChanged();
    }

    int manualChecks = 0;
    int automaticChecks = 0;
    int downloadsStarted = 0;

private:
    bool m_hasUpdate = false;
    QString m_latestVersion;
    bool m_isDownloading = false;
    QString m_statusMessage;
    bool m_shouldPresentUpdate = false;
    qint64 m_received = 0;
    qint64 m_expected = -1;
};

} // namespace veldra::test
