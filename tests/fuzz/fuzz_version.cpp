// Version texts: parsing never misreads, and the order is consistent.
#include "updater/offer/Version.h"

#include <cstdint>
#include <cstdlib>

using namespace veldra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString all =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = all.indexOf(QLatin1Char('|'));
    const QString a = split < 0 ? all : all.left(split);
    const QString b = split < 0 ? QStringLiteral("1.0.0") : all.mid(split + 1);

    const auto parsed = parseVersion(a);
    if (parsed) {
        if (parsed->empty() || parsed->size() > 4)
            std::abort();
        // Accepted texts are exactly dot-separated ASCII digit runs.
        for (QChar c : a)
            if (c != QLatin1Char('.') && (c < QLatin1Char('0') || c > QLatin1Char('9')))
                std::abort();
        for (std::int64_t v : *parsed)
            if (v < 0)
                std::abort();
        if (!isSameVersion(a, a) || isNewerVersion(a, a))
            std::abort();
    } else if (isSameVersion(a, a) || isNewerVersion(a, b) || isNewerVersion(b, a)) {
        std::abort();
    }
    // Antisymmetry, and sameness implies neither is newer.
    if (isNewerVersion(a, b) && isNewerVersion(b, a))
        std::abort();
    if (isSameVersion(a, b) && (isNewerVersion(a, b) || isNewerVersion(b, a)))
        std::abort();
    return 0;
}
