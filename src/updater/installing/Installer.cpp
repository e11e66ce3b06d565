#include "updater/Installer.h"

#include "platform/InfoPlist.h"
#include "platform/PropertyList.h"
#include "updater/Sha256.h"
#include "updater/ToolRunner.h"
#include "updater/UpdateEngine.h"
#include "updater/Version.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <plist/plist.h>

#include <cerrno>
#include <unistd.h>

namespace veldra {

QStringList treeDigestFunction(const SystemTools& t) {
    return {
        // What the application's tree digest is: the sorted listing of
        // "type mode content-digest path" of every entry, hashed.
        QStringLiteral("tree_digest() {"),
        QStringLiteral("  emulate -L zsh"),
        QStringLiteral("  zmodload -F zsh/stat b:zstat || return 1"),
        QStringLiteral("  local root=$1 p o content listing='' i j=0"),
        QStringLiteral("  local -a paths kinds perms files sums m target"),
        QStringLiteral("  paths=( ${(f)\"$(cd \"$root\" && LC_ALL=C /usr/bin/find . -mindepth 1 |"
                       " LC_ALL=C /usr/bin/sort)\"} )"),
        QStringLiteral("  for p in $paths; do"),
        QStringLiteral("    zstat -L -A m +mode -- \"$root/$p\" || return 1"),
        QStringLiteral("    case $(( m[1] & 8#170000 )) in"),
        QStringLiteral("      (16384) kinds+=d ;;"),
        QStringLiteral("      (32768) kinds+=f; files+=(\"$p\") ;;"),
        QStringLiteral("      (40960) kinds+=l; m[1]=0 ;;"),
        QStringLiteral("      (*) return 1 ;;"),
        QStringLiteral("    esac"),
        QStringLiteral("    perms+=( $(( m[1] & 8#7777 )) )"),
        QStringLiteral("  done"),
        // One run for every file; a name with a backslash is printed after one.
        QStringLiteral(
            "  (( ${#files} )) && sums=( ${(f)\"$(cd \"$root\" && %1 -a 256 -- $files)\"} )")
            .arg(t.shasum),
        QStringLiteral("  for (( i = 1; i <= ${#paths}; i++ )); do"),
        QStringLiteral("    p=${paths[i]} content=-"),
        QStringLiteral(
            "    if [[ ${kinds[i]} == f ]]; then (( ++j )); content=${${sums[j]#\\\\}[1,64]}; fi"),
        QStringLiteral("    if [[ ${kinds[i]} == l ]]; then"),
        QStringLiteral("      zstat -L -A target +link -- \"$root/$p\" || return 1"),
        QStringLiteral("      content=$(print -rn -- \"${target[1]}\" | %1 -a 256)").arg(t.shasum),
        QStringLiteral("      content=${content[1,64]}"),
        QStringLiteral("    fi"),
        QStringLiteral("    o=$(( [##8] perms[i] ))"),
        QStringLiteral("    listing+=\"${kinds[i]} ${(l:4::0:)o} $content ${p#./}\"$'\\n'"),
        QStringLiteral("  done"),
        QStringLiteral("  print -rn -- \"$listing\" | %1 -a 256 | /usr/bin/cut -c1-64")
            .arg(t.shasum),
        QStringLiteral("}"),
    };
}

QString installScriptText(const SystemTools& t) {
    QStringList lines{QStringLiteral("#!/bin/zsh"), QStringLiteral("set -euo pipefail")};
    lines += treeDigestFunction(t);
    lines += QStringList{
        QStringLiteral("source_app=\"$1\" target_app=\"$2\" mount_point=\"$3\" old_pid=\"$4\""),
        QStringLiteral("disk_image=\"$5\" bundle_id=\"$6\" version=\"$7\" arch=\"$8\""),
        // As root also: the user who asked, and the image's digest from the manifest.
        QStringLiteral("requirement=\"$9\" started=\"${10}\" start_window=\"${11}\""),
        // The image's SHA-256, or the patched copy's tree digest.
        QStringLiteral("user_id=\"${12:-}\" digest=\"${13:-}\""),
        QStringLiteral("parent=\"${target_app:h}\" private=\"\" made_staged=0 launched=0"),
        // A patched copy that does not make it in: the previous copy is told,
        // and takes the image next time.
        QStringLiteral("refused=()"),
        QStringLiteral("[[ -n $mount_point ]] || refused=(--args %1 \"$version\")")
            .arg(QLatin1String(kPatchRefusedArgument)),
        QStringLiteral("staged=\"$parent/.Veldra Cloud Desktop.new.$$\""),
        QStringLiteral("backup=\"$parent/.Veldra Cloud Desktop.previous.$$\""),
        QStringLiteral("# Never started as root: as the user who asked for the update."),
        QStringLiteral("start() {"),
        QStringLiteral("  if [[ -n $user_id ]]; then"),
        QStringLiteral("    %1 asuser \"$user_id\" %2 -u \"#$user_id\" %3 \"$@\"")
            .arg(t.launchctl, t.sudo, t.open),
        QStringLiteral("  else %1 \"$@\"; fi").arg(t.open),
        QStringLiteral("}"),
        QStringLiteral("as_user() {"),
        QStringLiteral("  if [[ -n $user_id ]]; then %1 -u \"#$user_id\" \"$@\"; else \"$@\"; fi")
            .arg(t.sudo),
        QStringLiteral("}"),
        QStringLiteral("cleanup() {"),
        // Everything here is tried, whatever fails before it.
        QStringLiteral("  setopt localoptions noerrexit"),
        // A patched copy comes in a folder of its own instead of an image.
        QStringLiteral("  if [[ -n $mount_point ]]; then"),
        QStringLiteral("    %1 detach \"$mount_point\" >/dev/null 2>&1").arg(t.hdiutil),
        QStringLiteral("    %1 -f \"$disk_image\"").arg(t.rm),
        // The user's own folder, removed as the user, read-only folders too.
        QStringLiteral("  else"),
        QStringLiteral("    as_user /bin/chmod -R u+w \"$disk_image\""),
        QStringLiteral("    as_user %1 -rf \"$disk_image\"").arg(t.rm),
        QStringLiteral("  fi"),
        QStringLiteral("  if [[ -n $private ]]; then"),
        QStringLiteral("    %1 detach \"$private/volume\" >/dev/null 2>&1 || true").arg(t.hdiutil),
        QStringLiteral("    %1 -rf \"$private\"").arg(t.rm),
        QStringLiteral("  fi"),
        QStringLiteral("  (( made_staged )) && %1 -rf \"$staged\"").arg(t.rm),
        // Inside a function zsh's $0 is the function's name; the script's own
        // path is $ZSH_ARGZERO.
        QStringLiteral("  %1 -f \"$ZSH_ARGZERO\"").arg(t.rm),
        // Whatever stopped the install, the user is left with a running copy.
        QStringLiteral("  (( launched )) || [[ ! -e \"$target_app\" ]] || start \"$target_app\" "
                       "\"${refused[@]}\""),
        QStringLiteral("}"),
        QStringLiteral("trap cleanup EXIT"),
        QStringLiteral("trap 'exit 1' INT TERM HUP"),
        QStringLiteral("for attempt in {1..60}; do"),
        QStringLiteral("  %1 -0 \"$old_pid\" 2>/dev/null || break").arg(t.kill),
        QStringLiteral("  %1 0.25").arg(t.sleep),
        QStringLiteral("done"),
        QStringLiteral("# Never replace an application whose process did not exit in time."),
        QStringLiteral("if %1 -0 \"$old_pid\" 2>/dev/null; then exit 1; fi").arg(t.kill),
        QStringLiteral("# As root, read only what is root's: a private copy of the image, checked"),
        QStringLiteral("# against the manifest's digest and mounted inside the private folder."),
        QStringLiteral("if [[ -n $user_id && -n $mount_point ]]; then"),
        QStringLiteral("  private=$(%1 -d /tmp/veldra-image.XXXXXXXX)").arg(t.mktemp),
        QStringLiteral("  %1 \"$disk_image\" \"$private/image.dmg\"").arg(t.cp),
        QStringLiteral("  [[ \"$(%1 -a 256 < \"$private/image.dmg\")\" == \"$digest  -\" ]]")
            .arg(t.shasum),
        QStringLiteral("  /bin/mkdir \"$private/volume\""),
        QStringLiteral("  %1 attach -nobrowse -readonly -mountpoint \"$private/volume\" "
                       "\"$private/image.dmg\" >/dev/null")
            .arg(t.hdiutil),
        QStringLiteral("  source_app=\"$private/volume/${source_app:t}\""),
        QStringLiteral("# A patched copy lies in the user's folder: as root, a copy of it of"),
        QStringLiteral("# root's own, with no ACL, attribute or owner of the user's, must be"),
        QStringLiteral("# exactly the tree the manifest names."),
        QStringLiteral("elif [[ -n $user_id ]]; then"),
        QStringLiteral("  private=$(%1 -d /tmp/veldra-image.XXXXXXXX)").arg(t.mktemp),
        QStringLiteral("  %1 --noacl --noextattr \"$source_app\" \"$private/app\"").arg(t.ditto),
        QStringLiteral("  %1 -R 0:0 \"$private/app\"").arg(t.chown),
        QStringLiteral("  [[ \"$(tree_digest \"$private/app\")\" == \"$digest\" ]]"),
        QStringLiteral("  source_app=\"$private/app\""),
        QStringLiteral("fi"),
        QStringLiteral("# Refuse collisions instead of deleting an unexpected existing path."),
        QStringLiteral("[[ ! -e \"$staged\" && ! -e \"$backup\" ]] || exit 1"),
        QStringLiteral("made_staged=1"),
        QStringLiteral("%1 \"$source_app\" \"$staged\"").arg(t.ditto),
        QStringLiteral("%1 -dr com.apple.quarantine \"$staged\" 2>/dev/null || true").arg(t.xattr),
        QStringLiteral("# What goes in place is what was checked, by whoever puts it there."),
        QStringLiteral("info() { %1 -c \"Print :$1\" \"$staged/Contents/Info.plist\"; }")
            .arg(t.plistBuddy),
        QStringLiteral("[[ \"$(info CFBundleIdentifier)\" == \"$bundle_id\" ]]"),
        QStringLiteral("[[ \"$(info CFBundleShortVersionString)\" == \"$version\" ]]"),
        QStringLiteral("%1 --verify --deep --strict \"$staged\"").arg(t.codesign),
        QStringLiteral("[[ -z $requirement ]] || %1 --verify --deep --strict -R \"=$requirement\" "
                       "\"$staged\"")
            .arg(t.codesign),
        QStringLiteral("%1 \"$staged/Contents/MacOS/$(info CFBundleExecutable)\" -verify_arch "
                       "\"$arch\" >/dev/null")
            .arg(t.lipo),
        QStringLiteral("if [[ -e \"$target_app\" ]]; then %1 \"$target_app\" \"$backup\"; fi")
            .arg(t.mv),
        QStringLiteral("if ! %1 \"$staged\" \"$target_app\"; then").arg(t.mv),
        QStringLiteral("  [[ -e \"$backup\" ]] && %1 \"$backup\" \"$target_app\"").arg(t.mv),
        QStringLiteral("  exit 1"),
        QStringLiteral("fi"),
        QStringLiteral("made_staged=0"),
        QStringLiteral("%1 -f \"$started\"").arg(t.rm),
        // A refused start still ends in the wait below, and so in the roll-back.
        QStringLiteral("launched=1"),
        QStringLiteral("start \"$target_app\" --args %1 \"$started\" || true")
            .arg(QLatin1String(kReportStartedArgument)),
        QStringLiteral("# The previous copy stays until the new one says it started (its window"),
        QStringLiteral(
            "# shown and up for 10 s); if it does not in time, the previous comes back."),
        QStringLiteral("deadline=$(( SECONDS + start_window ))"),
        QStringLiteral(
            "while [[ ! -e \"$started\" ]] && (( SECONDS < deadline )); do %1 0.25; done")
            .arg(t.sleep),
        QStringLiteral("if [[ -e \"$started\" || ! -e \"$backup\" ]]; then"),
        QStringLiteral("  %1 -f \"$started\"").arg(t.rm),
        QStringLiteral("  %1 -rf \"$backup\"").arg(t.rm),
        QStringLiteral("  exit 0"),
        QStringLiteral("fi"),
        QStringLiteral("%1 \"$target_app\" \"$staged\" || exit 1").arg(t.mv),
        QStringLiteral("made_staged=1"),
        QStringLiteral("%1 \"$backup\" \"$target_app\"").arg(t.mv),
        QStringLiteral("start \"$target_app\" --args %1 \"$version\"")
            .arg(QLatin1String(kRolledBackArgument)),
        QStringLiteral("exit 1"),
    };
    return lines.join(QLatin1Char('\n'));
}

QString rolledBackMessage(const QString& version) {
    return QStringLiteral("Version %1 could not start and was rolled back.").arg(version);
}

QString shellQuote(const QString& word) {
    QString quoted = word;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString administratorCommand(const SystemTools& tools, const WrittenScript& script,
                             const QStringList& arguments) {
    const auto q = [](const QString& word) { return shellQuote(word); };
    QStringList quotedArguments;
    for (const QString& argument : arguments)
        quotedArguments << q(argument);
    const QString copy = QStringLiteral("\"$d/install.zsh\"");
    const QString command =
        QStringLiteral("d=$(%1 -d /tmp/veldra-install.XXXXXXXX) || exit 1; "
                       "%2 %3 %4 && [ \"$(%5 -a 256 < %4)\" = %6 ] || "
                       "{ %7 -rf \"$d\"; exit 1; }; "
                       "%7 -f %3; "
                       "( %8 -f %4 %9; %7 -rf \"$d\" ) >/dev/null 2>&1 &")
            .arg(q(tools.mktemp), q(tools.cp), q(script.path), copy, q(tools.shasum),
                 q(script.sha256 + QStringLiteral("  -")), q(tools.rm), q(tools.zsh),
                 quotedArguments.join(QLatin1Char(' ')));
    // Nothing of the user's environment reaches what runs as root: no
    // variable of theirs steers the shells or the perl of shasum, and zsh
    // reads no startup file (-f).
    return QStringLiteral("exec %1 -i PATH=/usr/bin:/bin:/usr/sbin:/sbin /bin/sh -c %2")
        .arg(q(tools.env), q(command));
}

QString administratorStatement(const QString& command) {
    QString escaped = command;
    escaped.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    escaped.replace(QLatin1String("\""), QLatin1String("\\\""));
    return QStringLiteral("do shell script \"") + escaped +
           QStringLiteral("\" with administrator privileges");
}

std::variant<QString, UpdateFailure> mountPointFromPlist(const QByteArray& bytes) {
    const UpdateFailure notAPlist = platform::SystemError{
        EINVAL, QStringLiteral("The disk image tool's answer is not a property list.")};
    const platform::PropertyList parsed = platform::parsePropertyList(bytes);
    if (!parsed)
        return notAPlist;
    plist_t root = parsed.get();
    std::optional<QString> mountPoint;
    bool wellFormed = false;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t entities = plist_dict_get_item(root, "system-entities");
        if (entities && plist_get_node_type(entities) == PLIST_ARRAY) {
            wellFormed = true;
            const uint32_t count = plist_array_get_size(entities);
            for (uint32_t i = 0; i < count; ++i) {
                plist_t entity = plist_array_get_item(entities, i);
                if (plist_get_node_type(entity) != PLIST_DICT) {
                    wellFormed = false;
                    break;
                }
                if (!mountPoint)
                    mountPoint =
                        platform::propertyListString(plist_dict_get_item(entity, "mount-point"));
            }
        }
    }
    if (!wellFormed || !mountPoint)
        return updater_errors::diskImageUnreadable();
    return *mountPoint;
}

QString installTargetFor(const QString& bundlePath) {
    if (bundlePath.startsWith(QLatin1String("/Volumes/")) ||
        bundlePath.contains(QLatin1String("/AppTranslocation/")))
        return QString::fromLatin1(kDefaultInstallTarget);
    return bundlePath;
}

Installer::Installer(Configuration configuration) : m_config(std::move(configuration)) {
    if (!m_config.isWritable)
        m_config.isWritable = [](const QString& directory) {
            return ::access(QFile::encodeName(directory).constData(), W_OK) == 0;
        };
}

std::variant<QString, UpdateFailure> Installer::attachDiskImage(const QString& diskImage) {
    auto run = runTool({m_config.tools.hdiutil,
                        {QStringLiteral("attach"), QStringLiteral("-nobrowse"),
                         QStringLiteral("-readonly"), QStringLiteral("-plist"), diskImage},
                        ToolOutput::captured,
                        ToolErrors::discarded,
                        true});
    if (auto* error = std::get_if<platform::SystemError>(&run))
        return *error;
    const ToolResult& result = std::get<ToolResult>(run);
    if (result.status != 0)
        return updater_errors::diskImageUnreadable();
    return mountPointFromPlist(result.output);
}

std::optional<platform::SystemError> Installer::detachDiskImage(const QString& mountPoint) {
    auto run = runTool({m_config.tools.hdiutil,
                        {QStringLiteral("detach"), mountPoint},
                        ToolOutput::discarded,
                        ToolErrors::discarded,
                        true});
    if (auto* error = std::get_if<platform::SystemError>(&run))
        return *error;
    return std::nullopt;
}

std::optional<UpdateFailure> Installer::verifyCodeSignature(const QString& application) {
    const QStringList strict{QStringLiteral("--verify"), QStringLiteral("--deep"),
                             QStringLiteral("--strict")};
    QList<QStringList> checks{strict + QStringList{application}};
    // With a pinned signer, also its requirement; "=" makes codesign read the
    // argument as requirement text, not a file.
    if (!m_config.codeSignRequirement.isEmpty())
        checks << strict + QStringList{QStringLiteral("-R"),
                                       QLatin1Char('=') + m_config.codeSignRequirement,
                                       application};
    for (const QStringList& arguments : checks) {
        auto run = runTool({m_config.tools.codesign, arguments, ToolOutput::discarded,
                            ToolErrors::discarded, true});
        if (auto* error = std::get_if<platform::SystemError>(&run))
            return *error;
        if (std::get<ToolResult>(run).status != 0)
            return updater_errors::invalidSignature();
    }
    return std::nullopt;
}

std::optional<UpdateFailure> Installer::verifyArchitecture(const QString& application,
                                                           platform::Architecture architecture) {
    const auto name = platform::infoPlistString(application, QStringLiteral("CFBundleExecutable"));
    const QString executable =
        application + QStringLiteral("/Contents/MacOS/") + name.value_or(QString());
    if (!name || name->isEmpty() || !QFileInfo(executable).isFile())
        return updater_errors::executableMissing();
    auto run = runTool({m_config.tools.lipo,
                        {executable, QStringLiteral("-verify_arch"),
                         QString::fromLatin1(platform::lipoArchitectureName(architecture))},
                        ToolOutput::discarded,
                        ToolErrors::discarded,
                        true});
    if (auto* error = std::get_if<platform::SystemError>(&run))
        return *error;
    if (std::get<ToolResult>(run).status != 0)
        return updater_errors::wrongArchitecture();
    return std::nullopt;
}

void Installer::cleanUpFailedInstall(const QString& mountPoint, const QString& diskImage) {
    detachDiskImage(mountPoint);
    QFile::remove(diskImage);
}

QString Installer::installTargetURL() const {
    return installTargetFor(m_config.runningBundlePath);
}

std::variant<WrittenScript, UpdateFailure> Installer::writeInstallScript() {
    const QString path = m_config.temporaryDirectory + QStringLiteral("/veldra-install-") +
                         QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                         QStringLiteral(".zsh");
    const QByteArray text = installScriptText(m_config.tools).toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) < 0 || !file.commit())
        return platform::SystemError{EIO, file.errorString()};
    if (!QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        QFile::remove(path);
        return platform::SystemError{
            EPERM, QStringLiteral("The install script could not be made executable.")};
    }
    return WrittenScript{path, sha256HexOfBytes(text)};
}

std::variant<QString, UpdateFailure>
Installer::checkApplication(const QString& application, const QString& expectedVersion,
                            platform::Architecture architecture) {
    // The one application, in exactly the announced version.
    const QFileInfo candidate(application);
    if (!candidate.exists() || !candidate.isDir())
        return updater_errors::unexpectedApplication();
    const auto identifier =
        platform::infoPlistString(application, QStringLiteral("CFBundleIdentifier"));
    if (!identifier || *identifier != m_config.bundleIdentifier)
        return updater_errors::unexpectedApplication();
    const auto version =
        platform::infoPlistString(application, QStringLiteral("CFBundleShortVersionString"));
    if (!version || !parseVersion(*version) || !isSameVersion(expectedVersion, *version))
        return updater_errors::unexpectedApplication();
    if (auto failure = verifyCodeSignature(application))
        return *failure;
    if (auto failure = verifyArchitecture(application, architecture))
        return *failure;
    return *version;
}

std::optional<UpdateFailure> Installer::installUpdate(const QString& diskImage,
                                                      const QString& expectedVersion,
                                                      platform::Architecture architecture,
                                                      const QString& digest) {
    auto mounted = attachDiskImage(diskImage);
    if (auto* failure = std::get_if<UpdateFailure>(&mounted)) {
        QFile::remove(diskImage);
        return *failure;
    }
    const QString mountPoint = std::get<QString>(mounted);
    const QString application = mountPoint + QLatin1Char('/') + QLatin1String(kBundleFileName);
    const auto checked = checkApplication(application, expectedVersion, architecture);
    const auto* version = std::get_if<QString>(&checked);
    const auto failure =
        version ? handOver({application, mountPoint, diskImage, digest, *version}, architecture)
                : std::get<UpdateFailure>(checked);
    if (failure)
        cleanUpFailedInstall(mountPoint, diskImage);
    return failure;
}

std::optional<UpdateFailure> Installer::installPatchedCopy(const QString& application,
                                                           const QString& folder,
                                                           const QString& expectedVersion,
                                                           platform::Architecture architecture,
                                                           const QString& treeDigest) {
    const auto checked = checkApplication(application, expectedVersion, architecture);
    if (const auto* failure = std::get_if<UpdateFailure>(&checked))
        return *failure;
    return handOver({application, QString(), folder, treeDigest, std::get<QString>(checked)},
                    architecture);
}

std::optional<UpdateFailure> Installer::handOver(const HandedOver& update,
                                                 platform::Architecture architecture) {
    const QString target = installTargetURL();
    auto written = writeInstallScript();
    if (auto* failure = std::get_if<UpdateFailure>(&written))
        return *failure;
    const WrittenScript script = std::get<WrittenScript>(written);
    const auto fail = [&](UpdateFailure failure) -> std::optional<UpdateFailure> {
        QFile::remove(script.path);
        return failure;
    };
    // The script checks the copy it puts in place against what was checked here.
    QStringList arguments{update.application,
                          target,
                          update.mountPoint,
                          QString::number(m_config.processId),
                          update.files,
                          m_config.bundleIdentifier,
                          update.version,
                          QString::fromLatin1(platform::lipoArchitectureName(architecture)),
                          m_config.codeSignRequirement,
                          m_config.temporaryDirectory + QStringLiteral("/veldra-started-") +
                              QUuid::createUuid().toString(QUuid::WithoutBraces),
                          QString::number(m_config.startWindow.count())};

    if (m_config.isWritable(QFileInfo(target).absolutePath())) {
        auto run =
            runTool({m_config.tools.zsh, QStringList{QStringLiteral("-f"), script.path} + arguments,
                     ToolOutput::inherited, ToolErrors::inherited, false});
        if (auto* error = std::get_if<platform::SystemError>(&run))
            return fail(*error);
    } else {
        arguments << QString::number(::getuid()) << update.digest;
        auto run = runTool({m_config.tools.osascript,
                            {QStringLiteral("-e"), administratorStatement(administratorCommand(
                                                       m_config.tools, script, arguments))},
                            ToolOutput::inherited,
                            ToolErrors::inherited,
                            true});
        if (auto* error = std::get_if<platform::SystemError>(&run))
            return fail(*error);
        if (std::get<ToolResult>(run).status != 0)
            return fail(updater_errors::approvalNotGranted());
    }
    if (m_config.finishAndTerminate)
        m_config.finishAndTerminate();
    return std::nullopt;
}

} // namespace veldra
