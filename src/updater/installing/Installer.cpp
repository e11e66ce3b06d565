#include "updater/installing/Installer.h"

#include "platform/Bundle.h"
#include "platform/ExecutableArchitectures.h"
#include "platform/InfoPlist.h"
#include "platform/LaunchdJob.h"
#include "platform/PropertyList.h"
#include "updater/fetching/Sha256.h"
#include "updater/installing/LaunchArguments.h"
#include "updater/installing/ToolRunner.h"
#include "updater/offer/Version.h"
#include "updater/patches/BundlePatch.h"
#include "updater/patches/TreeDigest.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUuid>

#include <plist/plist.h>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace veldra {

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

bool mayReplaceDirectly(const QString& target) {
    const QFileInfo info(target);
    if (::access(QFile::encodeName(info.absolutePath()).constData(), W_OK) != 0)
        return false;
    struct stat existing;
    return ::lstat(QFile::encodeName(target).constData(), &existing) != 0 ||
           existing.st_uid == ::getuid();
}

void removeInstallLeftovers(const QString& target) {
    // Only beside an application in place: a copy that died mid-swap may hold
    // the only one, which the next install puts back.
    if (!QFileInfo(target).isDir())
        return;
    static const QRegularExpression name(
        QStringLiteral("^\\.Veldra Cloud Desktop\\.(new|previous)\\.([0-9]+)$"));
    const QDir parent = QFileInfo(target).absoluteDir();
    for (const QString& entry :
         parent.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const auto match = name.match(entry);
        if (!match.hasMatch())
            continue;
        // Another user's install is still "there" (EPERM): left alone.
        const pid_t pid = static_cast<pid_t>(match.captured(2).toLongLong());
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            removeBundleCopy(parent.filePath(entry));
    }
}

Installer::Installer(Configuration configuration) : m_config(std::move(configuration)) {
    if (!m_config.mayReplaceDirectly)
        m_config.mayReplaceDirectly = mayReplaceDirectly;
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
    // Read from the Mach-O header: lipo is a developer tool most Macs lack.
    const auto architectures = platform::executableArchitecturesOfFile(executable);
    if (!architectures || !architectures->contains(architecture))
        return updater_errors::wrongArchitecture();
    return std::nullopt;
}

void Installer::cleanUpFailedInstall(const QString& mountPoint, const QString& diskImage) {
    detachDiskImage(mountPoint);
    QFile::remove(diskImage);
}

QString Installer::installTargetURL() const {
    return m_config.runningBundlePath;
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
    const QString application =
        mountPoint + QLatin1Char('/') + QLatin1String(platform::kBundleFileName);
    const auto checked = checkApplication(application, expectedVersion, architecture);
    const auto* version = std::get_if<QString>(&checked);
    const auto failure = version ? handOver({application, mountPoint, diskImage, digest, *version},
                                            architecture, installTargetURL())
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
                    architecture, installTargetURL());
}

std::optional<UpdateFailure> Installer::moveRunningCopy(const QString& target,
                                                        const QString& version,
                                                        platform::Architecture architecture) {
    // Never an older copy over the one installed, root's included: that one
    // is opened instead.
    const auto installed =
        platform::infoPlistString(target, QStringLiteral("CFBundleShortVersionString"));
    if (installed && parseVersion(*installed) && !isNewerVersion(version, *installed)) {
        runTool(
            {m_config.tools.open, {target}, ToolOutput::discarded, ToolErrors::discarded, true});
        return updater_errors::alreadyInApplications(*installed);
    }
    // Root installs only a copy whose publisher is pinned: any valid
    // signature, ad hoc included, is anybody's.
    if (m_config.codeSignRequirement.isEmpty() && !m_config.mayReplaceDirectly(target))
        return updater_errors::moveNeedsPublisher();
    const QString application = m_config.runningBundlePath;
    const auto checked = checkApplication(application, version, architecture);
    if (const auto* failure = std::get_if<UpdateFailure>(&checked))
        return *failure;
    // As root the script copies it again and checks that copy's tree.
    const auto tree = treeDigest(application);
    if (const auto* problem = std::get_if<TreeProblem>(&tree))
        return platform::SystemError{EIO, problem->message};
    return handOver(
        {application, QString(), QString(), std::get<QString>(tree), std::get<QString>(checked)},
        architecture, target);
}

std::optional<UpdateFailure> Installer::handOver(const HandedOver& update,
                                                 platform::Architecture architecture,
                                                 const QString& target) {
    // A bundle is never replaced under someone else's process: another
    // window of this user's, a session's client, another user's copy.
    if (!m_config.processesRunningFrom(target).isEmpty())
        return updater_errors::openElsewhere();
    auto written = writeInstallScript();
    if (auto* failure = std::get_if<UpdateFailure>(&written))
        return *failure;
    const WrittenScript script = std::get<WrittenScript>(written);
    const QString jobFile = script.path.chopped(4) + QStringLiteral(".plist");
    const auto removeFiles = [&] {
        QFile::remove(script.path);
        QFile::remove(jobFile);
    };
    const auto fail = [&](UpdateFailure failure) -> std::optional<UpdateFailure> {
        removeFiles();
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
    const bool direct = m_config.mayReplaceDirectly(target);
    // Root copies no more of the image than the one checked here.
    if (!direct)
        arguments << QString::number(::getuid()) << update.digest
                  << (update.mountPoint.isEmpty()
                          ? QString()
                          : QString::number(QFileInfo(update.files).size()));
    // Root runs a copy of the script of its own, in a folder it names itself.
    const QString id = QFileInfo(script.path).completeBaseName().mid(15);
    // zsh in sh emulation reads no startup file at all, the global zshenv
    // included; the script is zsh again from its first line.
    const QByteArray job =
        platform::launchdJob(m_config.bundleIdentifier + QStringLiteral(".install.") + id,
                             QStringList{m_config.tools.zsh, QStringLiteral("--emulate"),
                                         QStringLiteral("sh"), QStringLiteral("-f"),
                                         direct ? script.path
                                                : QLatin1String(kRootFolderPlaceholder) +
                                                      QStringLiteral("/install.zsh")} +
                                 arguments);
    QSaveFile jobOut(jobFile);
    if (!jobOut.open(QIODevice::WriteOnly) || jobOut.write(job) < 0 || !jobOut.commit() ||
        !QFile::setPermissions(jobFile, QFile::ReadOwner | QFile::WriteOwner))
        return fail(platform::SystemError{EIO, jobOut.errorString()});

    // The script runs as a launchd job of its own, not as this application's
    // child: it finishes whatever happens to the application's processes.
    if (direct) {
        auto run = runTool(
            {m_config.tools.launchctl,
             {QStringLiteral("bootstrap"), QStringLiteral("gui/%1").arg(::getuid()), jobFile},
             ToolOutput::discarded,
             ToolErrors::inherited,
             true});
        if (auto* error = std::get_if<platform::SystemError>(&run))
            return fail(*error);
        if (std::get<ToolResult>(run).status != 0)
            return fail(
                platform::SystemError{EIO, QStringLiteral("The install could not be started.")});
    } else {
        // Root attaches a copy of its own; what hdiutil does with a second
        // attachment of the same image is not documented, so the user's goes
        // first (a declined approval removes the image anyway).
        if (!update.mountPoint.isEmpty())
            detachDiskImage(update.mountPoint);
        const QString command =
            administratorCommand(m_config.tools, script, {jobFile, sha256HexOfBytes(job)});
        const bool sudo = m_config.elevateWithSudo;
        // osascript hands its environment and working folder on to the shell
        // it runs as root (the authorization trampoline passes them along):
        // it gets a system PATH only, and "/". A Mac's /bin/sh is bash 3.2,
        // which as root would act on an inherited SHELLOPTS and PS4.
        auto run =
            runTool({sudo ? m_config.tools.sudo : m_config.tools.osascript,
                     sudo ? QStringList{QStringLiteral("-n"), QStringLiteral("/bin/sh"),
                                        QStringLiteral("-c"), command}
                          : QStringList{QStringLiteral("-e"), administratorStatement(command)},
                     ToolOutput::inherited, ToolErrors::inherited, true,
                     QStringList{QStringLiteral("PATH=/usr/bin:/bin:/usr/sbin:/sbin")} +
                         m_config.tools.standInEnvironment,
                     QStringLiteral("/")});
        // Root has its own copies by now; these are the user's, removed as the user.
        removeFiles();
        if (auto* error = std::get_if<platform::SystemError>(&run))
            return *error;
        if (std::get<ToolResult>(run).status != 0)
            return updater_errors::approvalNotGranted();
    }
    if (m_config.finishAndTerminate)
        m_config.finishAndTerminate();
    return std::nullopt;
}

} // namespace veldra
