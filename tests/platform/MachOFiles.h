#pragma once

#include <QString>

#include <optional>

namespace veldra::test {

// Paths of real, linked macOS executables (an empty main) built by
// makeMachOFiles.
struct MachOFiles {
    QString x86_64; // thin
    QString arm64;  // thin
    QString fat;    // universal: x86_64 + arm64
};

// Builds the four files in `directory` with Debian's clang, ld64.lld and
// llvm-lipo (packages clang, lld, llvm); llvm-lipo 14 writes no fat64; no macOS SDK needed. Takes a
// few seconds, so build once per test case. nullopt, with a warning saying why, when a tool is
// missing or fails.
[[nodiscard]] std::optional<MachOFiles> makeMachOFiles(const QString& directory);

} // namespace veldra::test
