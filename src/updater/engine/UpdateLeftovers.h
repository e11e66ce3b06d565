#pragma once

#include <QString>

#include <chrono>

namespace veldra {

// Removes what earlier runs left in `temporaryDirectory`: transfer files that
// no live transfer holds (a running transfer keeps its file locked), and
// verified images, patched copies, install scripts and started-files untouched for `staleAfter`,
// which no install script still uses by then.
void removeUpdateLeftovers(const QString& temporaryDirectory,
                           std::chrono::seconds staleAfter = std::chrono::minutes(15));

} // namespace veldra
