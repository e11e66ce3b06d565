#include "updater/fetching/ManifestCheck.h"

#include "updater/fetching/ReceivedFile.h"

#include <QFile>
#include <QLocale>

namespace veldra {

namespace {

CheckResult failed(const char* message) {
    return {CheckResult::Kind::failed, QString::fromLatin1(message), {}, {}, {}};
}

} // namespace

CheckResult handleManifestResponse(const TransferResult& t, const QString& currentVersion,
                                   const UpdateServer& server,
                                   const std::function<bool(const QByteArray&)>& acceptBody,
                                   platform::RunningCopy copy, const QString& systemVersion,
                                   const QString& channel) {
    if (t.transportError || !t.file || !t.isHttp || t.status != 200 ||
        !isAllowedUpdateURL(t.finalUrl, server))
        return failed("Update check failed");
    const auto size = fileSize(t.file->fileName());
    if (!size)
        return failed("Invalid update response");
    if (!isAcceptableManifestSize(*size))
        return failed("Invalid update response size");
    QFile file(t.file->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return failed("Invalid update response");
    const QByteArray bytes = file.read(kMaxManifestBytes + 1);
    if (bytes.size() != *size)
        return failed("Invalid update response");
    if (acceptBody && !acceptBody(bytes))
        return failed("Invalid update signature");
    return judgeManifest(bytes, currentVersion, server, copy, systemVersion, channel);
}

std::variant<TrustedManifest, SignatureRefusal>
judgeManifestSignature(const TransferResult& signature, const QByteArray& manifest,
                       const ManifestKeys& keys, const QDateTime& now) {
    // No answer at all fails as the manifest would; any HTTP error means
    // there is no signature.
    const QString invalid = QStringLiteral("Invalid update signature");
    const QString failed = QStringLiteral("Update check failed");
    if (!signature.isHttp)
        return SignatureRefusal{failed, {}};
    if (signature.status != 200)
        return SignatureRefusal{invalid,
                                QStringLiteral("no signature (HTTP %1)").arg(signature.status)};
    if (signature.transportError || !signature.file)
        return SignatureRefusal{failed, {}};
    QFile file(signature.file->fileName());
    if (!file.open(QIODevice::ReadOnly))
        return SignatureRefusal{invalid, QStringLiteral("the signature could not be read")};
    auto verdict = verifySignedManifest(manifest, file.read(kMaxSignatureBytes + 1), keys, now);
    if (auto* why = std::get_if<QString>(&verdict))
        return SignatureRefusal{invalid, *why};
    return std::get<TrustedManifest>(std::move(verdict));
}

QByteArray userAgent(const QString& version) {
    return QByteArrayLiteral("VeldraCloudDesktop-MacUpdater/") + version.toUtf8();
}

QString cacheBustingQuery(double secondsSinceEpoch) {
    QString number = QString::number(secondsSinceEpoch, 'f', QLocale::FloatingPointShortest);
    if (!number.contains(QLatin1Char('.')))
        number += QStringLiteral(".0");
    return QStringLiteral("?t=") + number;
}

} // namespace veldra
