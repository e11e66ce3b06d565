#include "updater/offer/Minisign.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace veldra {

namespace {

constexpr qsizetype kKeyIdBytes = 8;
constexpr qsizetype kEd25519KeyBytes = 32;
constexpr qsizetype kEd25519SignatureBytes = 64;

std::optional<QByteArray> strictBase64(const QByteArray& text) {
    auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

bool ed25519Verify(const QByteArray& publicKey, const QByteArray& signature,
                   const QByteArray& message) {
    using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
    using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
    const Key key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(publicKey.constData()),
                                    static_cast<size_t>(publicKey.size())),
        &EVP_PKEY_free);
    const Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char*>(signature.constData()),
                            static_cast<size_t>(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            static_cast<size_t>(message.size())) == 1;
}

std::optional<QByteArray> blake2b512(const QByteArray& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &length,
                   EVP_blake2b512(), nullptr) != 1)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length));
}

} // namespace

std::optional<MinisignKey> parseMinisignPublicKey(const QString& base64) {
    const auto bytes = strictBase64(base64.trimmed().toLatin1());
    if (!bytes || bytes->size() != 2 + kKeyIdBytes + kEd25519KeyBytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return MinisignKey{bytes->mid(2, kKeyIdBytes), bytes->mid(2 + kKeyIdBytes)};
}

std::optional<QList<MinisignKey>> parseMinisignPublicKeys(const QString& lines) {
    QList<MinisignKey> keys;
    if (lines.isEmpty())
        return keys;
    for (const QString& line : lines.split(QLatin1Char(';'))) {
        const auto key = parseMinisignPublicKey(line);
        // The key id chooses the key: two keys with one id would be one.
        if (!key || std::any_of(keys.cbegin(), keys.cend(),
                                [&](const MinisignKey& k) { return k.keyId == key->keyId; }))
            return std::nullopt;
        keys << *key;
    }
    if (keys.size() > kMaxPinnedKeys)
        return std::nullopt;
    return keys;
}

QString minisignKeyIdText(const QByteArray& keyId) {
    QByteArray reversed(keyId.size(), Qt::Uninitialized);
    std::reverse_copy(keyId.cbegin(), keyId.cend(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

bool isMinisignKeyIdText(const QString& text) {
    static const QRegularExpression keyId(QStringLiteral("^[0-9A-Fa-f]{16}$"));
    return keyId.match(text).hasMatch();
}

std::optional<QByteArray> minisignSignerKeyId(const QByteArray& signatureFile) {
    const QList<QByteArray> lines = signatureFile.split('\n');
    const auto signature = strictBase64(lines.value(1).trimmed());
    if (!signature || signature->size() != 2 + kKeyIdBytes + kEd25519SignatureBytes)
        return std::nullopt;
    return signature->mid(2, kKeyIdBytes);
}

std::optional<SignatureProblem>
verifyMinisign(const QByteArray& data, const QByteArray& signatureFile, const MinisignKey& key) {
    // untrusted comment, signature, trusted comment, global signature
    QList<QByteArray> lines = signatureFile.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    static const QByteArray kTrusted = "trusted comment: ";
    if (lines.size() < 4 || !lines.at(0).startsWith("untrusted comment: ") ||
        !lines.at(2).startsWith(kTrusted))
        return SignatureProblem::malformed;
    const auto signature = strictBase64(lines.at(1));
    const auto global = strictBase64(lines.at(3));
    if (!signature || signature->size() != 2 + kKeyIdBytes + kEd25519SignatureBytes || !global ||
        global->size() != kEd25519SignatureBytes)
        return SignatureProblem::malformed;
    const QByteArray algorithm = signature->left(2);
    if (algorithm != "ED" && algorithm != "Ed")
        return SignatureProblem::malformed;
    if (signature->mid(2, kKeyIdBytes) != key.keyId)
        return SignatureProblem::otherKey;
    const QByteArray fileSignature = signature->mid(2 + kKeyIdBytes);
    std::optional<QByteArray> message = data;
    if (algorithm == "ED")
        message = blake2b512(data);
    if (!message || !ed25519Verify(key.publicKey, fileSignature, *message))
        return SignatureProblem::badSignature;
    if (!ed25519Verify(key.publicKey, *global, fileSignature + lines.at(2).mid(kTrusted.size())))
        return SignatureProblem::badTrustedComment;
    return std::nullopt;
}

std::optional<QDateTime> manifestExpiry(const QByteArray& manifestJson) {
    const QJsonValue value = QJsonDocument::fromJson(manifestJson).object().value(u"expires");
    if (!value.isString())
        return std::nullopt;
    static const QRegularExpression rfc3339Utc(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?Z$"));
    const QString text = value.toString();
    if (!rfc3339Utc.match(text).hasMatch())
        return std::nullopt;
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    return time.toUTC();
}

} // namespace veldra
