#include "updater/installing/InstallScript.h"

#include "updater/installing/LaunchArguments.h"

#include <QFile>
#include <QRegularExpression>

#include <utility>

namespace veldra {

namespace {

// Every @NAME@ the script may use, and what it becomes.
QList<std::pair<QLatin1String, QString>> placeholders(const SystemTools& t) {
    return {
        {QLatin1String("CHMOD"), t.chmod},
        {QLatin1String("CHOWN"), t.chown},
        {QLatin1String("CODESIGN"), t.codesign},
        {QLatin1String("CP"), t.cp},
        {QLatin1String("DEFAULTS"), t.defaults},
        {QLatin1String("DITTO"), t.ditto},
        {QLatin1String("FIND"), t.find},
        {QLatin1String("HDIUTIL"), t.hdiutil},
        {QLatin1String("HEAD"), t.head},
        {QLatin1String("KILL"), t.kill},
        {QLatin1String("LAUNCHCTL"), t.launchctl},
        {QLatin1String("MKDIR"), t.mkdir},
        {QLatin1String("MKTEMP"), t.mktemp},
        {QLatin1String("MV"), t.mv},
        {QLatin1String("OD"), t.od},
        {QLatin1String("OPEN"), t.open},
        {QLatin1String("OPENSSL"), t.openssl},
        {QLatin1String("PLISTBUDDY"), t.plistBuddy},
        {QLatin1String("PS"), t.ps},
        {QLatin1String("RM"), t.rm},
        {QLatin1String("SLEEP"), t.sleep},
        {QLatin1String("SORT"), t.sort},
        {QLatin1String("SUDO"), t.sudo},
        {QLatin1String("XATTR"), t.xattr},
        {QLatin1String("PATCH_REFUSED"), QLatin1String(kPatchRefusedArgument)},
        {QLatin1String("REPORT_STARTED"), QLatin1String(kReportStartedArgument)},
        {QLatin1String("ROLLED_BACK"), QLatin1String(kRolledBackArgument)},
    };
}

} // namespace

QString installScriptText(const SystemTools& tools) {
    QFile file(QStringLiteral(":/updater/install.zsh"));
    // Compiled in: it cannot be missing from a build that links this.
    if (!file.open(QIODevice::ReadOnly))
        qFatal("The install script is not compiled in.");
    QString text = QString::fromUtf8(file.readAll());
    for (const auto& [name, value] : placeholders(tools))
        text.replace(QLatin1Char('@') + name + QLatin1Char('@'), value);
    // A name the table lacks would run as a command of that name.
    static const QRegularExpression unfilled(QStringLiteral("@[A-Z_]+@"));
    if (const auto match = unfilled.match(text); match.hasMatch())
        qFatal("The install script names %s, which nothing fills in.",
               qPrintable(match.captured()));
    return text;
}

QString scriptFunctions(const SystemTools& tools, const QStringList& names) {
    const QStringList lines = installScriptText(tools).split(QLatin1Char('\n'));
    QStringList picked{QStringLiteral("zmodload -F zsh/stat b:zstat")};
    for (const QString& name : names) {
        const qsizetype first = lines.indexOf(name + QStringLiteral("() {"));
        const qsizetype last = lines.indexOf(QStringLiteral("}"), first);
        if (first >= 0 && last > first)
            picked += lines.mid(first, last - first + 1);
    }
    return picked.join(QLatin1Char('\n'));
}

QString shellQuote(const QString& word) {
    QString quoted = word;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString administratorCommand(const SystemTools& tools, const WrittenScript& script,
                             const WrittenScript& job) {
    const auto q = [](const QString& word) { return shellQuote(word); };
    // The digest is the last word of what openssl prints.
    const QString copy = QStringLiteral("%1 %2 \"$d/%3\" && h=$(%4 dgst -sha256 < \"$d/%3\") && "
                                        "[ \"${h##* }\" = %5 ]");
    // Root names its own folder, after the approval: nothing the user's
    // programs could make first. Its copy of the job then names the script
    // there, in the one line written for it.
    const QString place =
        QStringLiteral("%1 's|<string>%2/install.zsh</string>|<string>'\"$d\""
                       "'/install.zsh</string>|' \"$d/job.in\" > \"$d/job.plist\"")
            .arg(q(tools.sed), QLatin1String(kRootFolderPlaceholder));
    const QString command =
        QStringLiteral("d=$(%1 -d /tmp/veldra-install.XXXXXXXX) || exit 1; %2 && %3 && %4 && "
                       "%5 bootstrap system \"$d/job.plist\" || { %6 -rf \"$d\"; exit 1; }")
            .arg(q(tools.mktemp),
                 copy.arg(q(tools.cp), q(script.path), QStringLiteral("install.zsh"),
                          q(tools.openssl), q(script.sha256)),
                 copy.arg(q(tools.cp), q(job.path), QStringLiteral("job.in"), q(tools.openssl),
                          q(job.sha256)),
                 place, q(tools.launchctl), q(tools.rm));
    // Nothing of the user's environment reaches what runs as root: no
    // variable of theirs steers the shells, openssl or launchctl.
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

} // namespace veldra
