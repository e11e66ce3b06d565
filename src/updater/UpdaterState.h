#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace veldra {

// What the user interface sees of the updater: published state with change
// signals, and the three requests it may make.
class UpdaterState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasUpdate READ hasUpdate NOTIFY hasUpdateChanged)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)
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

    virtual bool hasUpdate() const = 0;
    virtual QString latestVersion() const = 0;
    virtual QString downloadUrl() const = 0;
    virtual bool isDownloading() const = 0;
    virtual QString statusMessage() const = 0;
    virtual bool shouldPresentUpdate() const = 0;
    virtual bool isChecking() const = 0;
    // The download under way: bytes so far, and the total (-1 while unknown).
    virtual qint64 bytesReceived() const = 0;
    virtual qint64 bytesExpected() const = 0;
    virtual void setShouldPresentUpdate(bool present) = 0;

    virtual void checkForUpdates(bool manual, CheckCompletion completion = {}) = 0;
    virtual void startDownload() = 0;

Q_SIGNALS:
    void hasUpdateChanged();
    void latestVersionChanged();
    void downloadUrlChanged();
    void isDownloadingChanged();
    void statusMessageChanged();
    void shouldPresentUpdateChanged();
    void isCheckingChanged();
    void downloadProgressChanged();
};

} // namespace veldra
