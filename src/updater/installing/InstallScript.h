#pragma once

#include "updater/installing/SystemTools.h"

#include <QString>
#include <QStringList>

namespace veldra {

// The install script as written: its path and the SHA-256 of what was written.
struct WrittenScript {
    QString path;
    QString sha256;
};

// The install script (install.zsh, compiled in) with every @NAME@ filled in:
// the programs from `tools`, and the arguments the application is started
// with. It waits for the old process, copies the application next to the
// target, checks that copy (identifier, version, signature, signer,
// architecture), swaps it in and starts it, as the user who asked when run as
// root, with "--report-started STARTED". Unless that file appears within
// WINDOW seconds the previous copy is put back and started with
// "--rolled-back VERSION". See the script's head for its arguments.
[[nodiscard]] QString installScriptText(const SystemTools& tools);

// The install script's zsh functions of those names, each whole (such as
// `tree_digest BUNDLE`, which prints the bundle's tree digest exactly as
// treeDigest takes it), after what they need loaded.
[[nodiscard]] QString scriptFunctions(const SystemTools& tools, const QStringList& names);

// 'word' for the POSIX shell, with every ' written as '\''.
[[nodiscard]] QString shellQuote(const QString& word);

// Where root's copy of the install script will be, in the job the
// application writes for root: root names that folder itself.
inline constexpr char kRootFolderPlaceholder[] = "@ROOT_FOLDER@";

// The shell command that runs as root (through the administrator prompt), in
// an environment of its own with only a fixed PATH. The script and its job
// lie in the user's temporary folder, where any program of the user could
// rewrite them before the user approves; so root makes a folder of its own
// (mktemp, 0700), copies both into it, checks each copy against the digest
// taken when it was written, makes its copy of the job name its copy of the
// script, and only then loads the job into the system domain. On a mismatch
// nothing runs and the command fails. The user's files stay the user's to remove.
[[nodiscard]] QString administratorCommand(const SystemTools& tools, const WrittenScript& script,
                                           const WrittenScript& job);

// do shell script "<command, escaped>" with administrator privileges
[[nodiscard]] QString administratorStatement(const QString& command);

} // namespace veldra
