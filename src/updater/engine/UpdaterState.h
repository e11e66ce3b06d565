#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace veldra {

// The updater's published state, all of it.
struct UpdaterSnapshot {
    bool hasUpdate = false;
    QString latestVersion;
    QString releaseNotes; // the offered version's, as the publisher wrote them (Markdown)
    QString downloadUrl;
    bool isDownloading = false;
    QString statusMessage;
    bool shouldPresentUpdate = false;
    bool isChecking = false;
    qint64 bytesReceived = 0;
    qint64 bytesExpected = -1;
    // The offered version is required (this copy is below the publisher's
    // floor), and why, as the manifest says it (empty: a plain default).
    bool isRequired = false;
    QString requiredReason;
};

// What the user interface sees of the updater: published state with change
// signals, and the requests it may make. Holds the published values; an
// updater sets them through the setters, which signal only a change.
class UpdaterState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasUpdate READ hasUpdate NOTIFY hasUpdateChanged)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY releaseNotesChanged)
    Q_PROPERTY(QString downloadUrl READ downloadUrl NOTIFY downloadUrlChanged)
    Q_PROPERTY(bool isDownloading READ isDownloading NOTIFY isDownloadingChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(bool shouldPresentUpdate READ shouldPresentUpdate WRITE setShouldPresentUpdate NOTIFY
                   shouldPresentUpdateChanged)
    Q_PROPERTY(bool isChecking READ isChecking NOTIFY isCheckingChanged)
    Q_PROPERTY(qint64 bytesReceived READ bytesReceived NOTIFY downloadProgressChanged)
    Q_PROPERTY(qint64 bytesExpected READ bytesExpected NOTIFY downloadProgressChanged)
public:
    using QObject::QObject;
    using CheckCompletion = std::function<void(bool found)>;

    bool hasUpdate() const { return m_state.hasUpdate; }
    QString latestVersion() const { return m_state.latestVersion; }
    QString releaseNotes() const { return m_state.releaseNotes; }
    QString downloadUrl() const { return m_state.downloadUrl; }
    bool isDownloading() const { return m_state.isDownloading; }
    QString statusMessage() const { return m_state.statusMessage; }
    bool shouldPresentUpdate() const { return m_state.shouldPresentUpdate; }
    bool isChecking() const { return m_state.isChecking; }
    // The download under way: bytes so far, and the total (-1 while unknown).
    qint64 bytesReceived() const { return m_state.bytesReceived; }
    qint64 bytesExpected() const { return m_state.bytesExpected; }
    bool isRequired() const { return m_state.isRequired; }
    QString requiredReason() const { return m_state.requiredReason; }
    const UpdaterSnapshot& snapshot() const { return m_state; }
    // Another version now at this copy's path (an organisation's package,
    // another account's update): that version; empty while there is none.
    QString replacedBy() const { return m_replacedBy; }
    virtual void setShouldPresentUpdate(bool present) {
        publish(m_state.shouldPresentUpdate, present, &UpdaterState::shouldPresentUpdateChanged);
    }

    virtual void checkForUpdates(bool manual, CheckCompletion completion = {}) = 0;
    virtual void startDownload() = 0;
    // A copy running from its disk image or translocated: put it into
    // Applications (asking for an administrator where the user cannot
    // write), and quit for the copy there to start.
    virtual void moveToApplications() = 0;
    // A replaced copy: quit, and start the copy now at the bundle's path once
    // this one has gone.
    virtual void relaunch() {}

Q_SIGNALS:
    void hasUpdateChanged();
    void latestVersionChanged();
    void releaseNotesChanged();
    void downloadUrlChanged();
    void isDownloadingChanged();
    void statusMessageChanged();
    void shouldPresentUpdateChanged();
    void isCheckingChanged();
    void downloadProgressChanged();
    void requiredChanged();
    void replacedByChanged();

protected:
    void setHasUpdate(bool value) {
        publish(m_state.hasUpdate, value, &UpdaterState::hasUpdateChanged);
    }
    void setLatestVersion(const QString& value) {
        publish(m_state.latestVersion, value, &UpdaterState::latestVersionChanged);
    }
    void setReleaseNotes(const QString& value) {
        publish(m_state.releaseNotes, value, &UpdaterState::releaseNotesChanged);
    }
    void setDownloadUrl(const QString& value) {
        publish(m_state.downloadUrl, value, &UpdaterState::downloadUrlChanged);
    }
    void setIsDownloading(bool value) {
        publish(m_state.isDownloading, value, &UpdaterState::isDownloadingChanged);
    }
    void setStatusMessage(const QString& value) {
        publish(m_state.statusMessage, value, &UpdaterState::statusMessageChanged);
    }
    void setIsChecking(bool value) {
        publish(m_state.isChecking, value, &UpdaterState::isCheckingChanged);
    }
    void setRequired(bool required, const QString& reason) {
        if (required == m_state.isRequired && reason == m_state.requiredReason)
            return;
        m_state.isRequired = required;
        m_state.requiredReason = reason;
        Q_EMIT requiredChanged();
    }
    void setReplacedBy(const QString& value) {
        publish(m_replacedBy, value, &UpdaterState::replacedByChanged);
    }
    void setDownloadProgress(qint64 received, qint64 expected) {
        if (received == m_state.bytesReceived && expected == m_state.bytesExpected)
            return;
        m_state.bytesReceived = received;
        m_state.bytesExpected = expected;
        Q_EMIT downloadProgressChanged();
    }

private:
    // Stores a published value and announces it, only when it changes.
    template <typename T> void publish(T& member, const T& value, void (UpdaterState::*changed)()) {
        if (member == value)
            return;
        member = value;
        Q_EMIT(this->*changed)();
    }

    UpdaterSnapshot m_state;
    QString m_replacedBy; // the application's own: the engine never publishes it
};

} // namespace veldra
