#pragma once

namespace veldra {

// What the install script starts the new version with, and the previous one
// when it puts it back.
inline constexpr char kReportStartedArgument[] = "--report-started";
inline constexpr char kRolledBackArgument[] = "--rolled-back";
// Started with this and a version: a patch to that version could not be
// installed; that version comes as its image.
inline constexpr char kPatchRefusedArgument[] = "--patch-refused";

} // namespace veldra
