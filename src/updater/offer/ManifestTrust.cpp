#include "updater/offer/ManifestTrust.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace veldra {

namespace {

// The pinned keys `signer` (the index of its key) may revoke: those listed
// before it, so that a stolen signing key can never revoke the backups.
std::variant<QStringList, QString> revocations(const QByteArray& manifest,
                                               const QList<MinisignKey>& pinned, qsizetype signer) {
    const QJsonValue listed = QJsonDocument::fromJson(manifest).object().value(u"revoked_keys");
    if (listed.isUndefined() || listed.isNull())
        return QStringList();
    if (!listed.isArray())
        return QStringLiteral("its \"revoked_keys\" is not a list of key ids");
    QStringList revokes;
    for (const QJsonValue& value : listed.toArray()) {
        const QString id = value.toString().toUpper();
        if (!isMinisignKeyIdText(id))
            return QStringLiteral("its \"revoked_keys\" holds \"%1\", which is not a key id")
                .arg(value.toString());
        for (qsizetype i = 0; i < pinned.size(); ++i) {
            if (minisignKeyIdText(pinned[i].keyId) != id)
                continue;
            if (i == signer)
                return QStringLiteral("its \"revoked_keys\" names its own signer, %1").arg(id);
            if (i > signer)
                return QStringLiteral("its \"revoked_keys\" names %1, which key %2 may not revoke")
                    .arg(id, minisignKeyIdText(pinned[signer].keyId));
            revokes << id;
        }
    }
    return revokes;
}

} // namespace

std::variant<TrustedManifest, QString> verifySignedManifest(const QByteArray& manifest,
                                                            const QByteArray& signatureFile,
                                                            const ManifestKeys& keys,
                                                            const QDateTime& now) {
    const auto keyId = minisignSignerKeyId(signatureFile);
    if (!keyId)
        return QStringLiteral("the signature file is malformed");
    const QString signer = minisignKeyIdText(*keyId);
    qsizetype index = 0;
    while (index < keys.pinned.size() && keys.pinned[index].keyId != *keyId)
        ++index;
    if (index == keys.pinned.size())
        return QStringLiteral("signed by key %1, which this build does not pin").arg(signer);
    if (keys.revoked.contains(signer))
        return QStringLiteral("signed by key %1, which an earlier manifest revoked").arg(signer);
    if (const auto problem = verifyMinisign(manifest, signatureFile, keys.pinned[index])) {
        switch (*problem) {
        case SignatureProblem::malformed:
        case SignatureProblem::otherKey:
            return QStringLiteral("the signature file is malformed");
        case SignatureProblem::badSignature:
            return QStringLiteral("the manifest was altered after signing");
        case SignatureProblem::badTrustedComment:
            return QStringLiteral("the trusted comment was altered");
        }
    }
    const auto expires = manifestExpiry(manifest);
    if (!expires)
        return QStringLiteral("no readable \"expires\"");
    if (*expires <= now)
        return QStringLiteral("expired on ") + expires->toString(Qt::ISODate);
    const auto revokes = revocations(manifest, keys.pinned, index);
    if (const auto* refusal = std::get_if<QString>(&revokes))
        return *refusal;
    return TrustedManifest{signer, std::get<QStringList>(revokes)};
}

} // namespace veldra
