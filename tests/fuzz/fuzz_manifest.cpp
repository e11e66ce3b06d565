// Manifest bytes from the network: whatever is accepted really passes every rule.
#include "updater/offer/MacUpdateManifest.h"
#include "updater/offer/Version.h"

#include <cstdint>
#include <cstdlib>

using namespace veldra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const UpdateServer server{QStringLiteral("updates.veldra.example"), 443};
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!isAcceptableManifestSize(bytes.size()))
        return 0;
    const auto manifest = MacUpdateManifest::decode(bytes);
    if (!manifest)
        return 0;
    const ManifestEntries entries = selectManifestEntries(*manifest);
    for (const char* current : {"1.0.0", "2.4.1", "", "9223372036854775807"}) {
        const ManifestVerdict verdict =
            evaluateManifest(*manifest, QString::fromLatin1(current), server);
        if (verdict.message().isEmpty())
            std::abort();
        if (verdict.outcome != ManifestVerdict::Outcome::updateAvailable)
            continue;
        if (verdict.version != entries.version || !parseVersion(verdict.version) ||
            !isNewerVersion(verdict.version, QString::fromLatin1(current)) ||
            !makeUpdateURL(verdict.location, server) || !isValidDigest(verdict.digest))
            std::abort();
    }
    return 0;
}
