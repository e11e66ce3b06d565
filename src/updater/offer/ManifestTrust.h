#pragma once

#include "updater/offer/Minisign.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

namespace veldra {

// The keys a copy takes a manifest's signature from: the build's pinned keys
// in order (the signing key, then the backups), less the ones an accepted
// manifest revoked.
struct ManifestKeys {
    QList<MinisignKey> pinned;
    QStringList revoked = {}; // key ids, as minisignKeyIdText writes them
};

// A manifest a copy may read: who signed it, and the pinned keys it revokes
// from now on.
struct TrustedManifest {
    QString signer;
    QStringList revokes;
};

// Checks a manifest's .minisig as a copy does: the key its key id names is
// pinned and not revoked, the signature and trusted comment hold, "expires"
// is later than `now`, and its "revoked_keys" name only key ids, none of them
// its signer nor a key pinned after it (ids this build does not pin are
// ignored). Or why not, in words for the log and the release command.
[[nodiscard]] std::variant<TrustedManifest, QString>
verifySignedManifest(const QByteArray& manifest, const QByteArray& signatureFile,
                     const ManifestKeys& keys, const QDateTime& now);

} // namespace veldra
