#include "launcher/RdpLauncher.h"
#include "platform/Bundle.h"
#include "updater/Installer.h"
#include "updater/MacUpdater.h"
#include "updater/Version.h"
#include "veldra/BuildConstants.h"

#include <QCoreApplication>
#include <QDir>
#include <QSysInfo>

#include <cerrno>

namespace veldra {

MacUpdater& MacUpdater::shared() {
    static MacUpdater* instance = [] {
        Configuration config;
        config.server = UpdateServer::production();
        const QByteArray pem(build::kUpdateCaPem);
        if (!pem.trimmed().isEmpty())
            config.trustedCas = QSslCertificate::fromData(pem, QSsl::Pem);
        config.temporaryDirectory = QDir::tempPath();
        config.currentVersion = [] { return currentAppVersion(); };
        config.isSessionRunning = [] { return RdpLauncher::shared().isSessionRunning(); };
        config.installUpdate = [](const QString&, const QString&) -> std::optional<UpdateFailure> {
            return platform::SystemError{ENOSYS,
                                         QStringLiteral("This build cannot install updates.")};
        };
        auto* updater =
            new MacUpdater(std::move(config), std::make_unique<QNetworkAccessManager>());
        setUpdateDownloadingProbe([updater] { return updater->isDownloading(); });
        return updater;
    }();
    return *instance;
}

} // namespace veldra
