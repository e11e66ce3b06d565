#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace veldra {

// A minisign public key: its 8-byte key id and 32-byte Ed25519 key.
struct MinisignKey {
    QByteArray keyId;
    QByteArray publicKey;
};

// The base64 line of a minisign.pub file ("RW…"); none if it is not one.
[[nodiscard]] std::optional<MinisignKey> parseMinisignPublicKey(const QString& base64);

// A build pins its signing key and up to two backups kept offline.
inline constexpr qsizetype kMaxPinnedKeys = 3;

// Up to three such lines separated by ';', in the order a build pins them;
// none if any is not a key, or two share a key id. Empty: no key.
[[nodiscard]] std::optional<QList<MinisignKey>> parseMinisignPublicKeys(const QString& lines);

// A key id as minisign.pub's first line shows it: minisign prints the 8 bytes
// as a little-endian number, in 16 upper-case hexadecimal digits.
[[nodiscard]] QString minisignKeyIdText(const QByteArray& keyId);
// Whether `text` is such an id (either case).
[[nodiscard]] bool isMinisignKeyIdText(const QString& text);

// The key id a .minisig file names; none when it is malformed.
[[nodiscard]] std::optional<QByteArray> minisignSignerKeyId(const QByteArray& signatureFile);

// Why a signature was refused, for the release command; the application
// shows "Invalid update signature" for every one.
enum class SignatureProblem { malformed, otherKey, badSignature, badTrustedComment };

// Checks a .minisig file against `data`: the key id is `key`'s, the signature
// over the data holds (the prehashed "ED" form, BLAKE2b-512, or the legacy
// "Ed" form), and the global signature over it and its trusted comment holds.
[[nodiscard]] std::optional<SignatureProblem>
verifyMinisign(const QByteArray& data, const QByteArray& signatureFile, const MinisignKey& key);

// The signed manifest's "expires": an RFC 3339 UTC time ("2027-03-01T00:00:00Z");
// none when absent, not text or unreadable.
[[nodiscard]] std::optional<QDateTime> manifestExpiry(const QByteArray& manifestJson);

} // namespace veldra
