#pragma once

#include <QByteArray>
#include <QDateTime>
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
