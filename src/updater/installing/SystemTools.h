#pragma once

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace veldra {

// Every program the install path runs, the application and the install script
// alike: fixed paths in production, stand-ins in tests. Each is part of the
// base system of every macOS from 12 on, with no developer tools: no lipo,
// otool, install_name_tool, strip or nm (/usr/bin shims that need Xcode or
// the Command Line Tools, xcode-select(1) FILES), and no Perl or Python,
// which macOS keeps only "for compatibility" (macOS 10.15 release notes).
// Where each comes from is named beside it: Apple's open-source projects, as
// every macOS release from 12.0.1 to 26 lists them, or the man page of a
// program Apple does not publish.
struct SystemTools {
    QString hdiutil = QStringLiteral("/usr/bin/hdiutil");   // hdiutil(1)
    QString codesign = QStringLiteral("/usr/bin/codesign"); // codesign(1); --verify needs no tools
    QString zsh = QStringLiteral("/bin/zsh");               // zsh; zsh/stat a module of it
    QString osascript = QStringLiteral("/usr/bin/osascript"); // osascript(1)
    QString ditto = QStringLiteral("/usr/bin/ditto");         // ditto(1)
    QString xattr = QStringLiteral("/usr/bin/xattr");         // file_cmds (a C program since 12)
    QString mv = QStringLiteral("/bin/mv");                   // file_cmds
    QString rm = QStringLiteral("/bin/rm");                   // file_cmds
    QString kill = QStringLiteral("/bin/kill");               // shell_cmds
    QString sleep = QStringLiteral("/bin/sleep");             // shell_cmds
    QString open = QStringLiteral("/usr/bin/open");           // open(1)
    QString mktemp = QStringLiteral("/usr/bin/mktemp");       // shell_cmds
    QString cp = QStringLiteral("/bin/cp");                   // file_cmds
    // LibreSSL's; `dgst -sha256` prints the digest last, whatever its label.
    QString openssl = QStringLiteral("/usr/bin/openssl");
    QString plistBuddy = QStringLiteral("/usr/libexec/PlistBuddy"); // PlistBuddy(8)
    QString launchctl = QStringLiteral("/bin/launchctl");           // launchctl(1)
    QString sudo = QStringLiteral("/usr/bin/sudo");                 // sudo
    QString chown = QStringLiteral("/usr/sbin/chown");              // file_cmds
    QString env = QStringLiteral("/usr/bin/env");                   // shell_cmds
    QString chmod = QStringLiteral("/bin/chmod");                   // file_cmds
    QString mkdir = QStringLiteral("/bin/mkdir");                   // file_cmds
    QString find = QStringLiteral("/usr/bin/find");                 // shell_cmds
    QString sort = QStringLiteral("/usr/bin/sort");                 // text_cmds
    // What reads an executable's Mach-O header in the script (hexdump's od).
    QString od = QStringLiteral("/usr/bin/od"); // shell_cmds
    QString ps = QStringLiteral("/bin/ps");     // adv_cmds
    // Where the install leaves its verdict for the copy it puts back.
    QString defaults = QStringLiteral("/usr/bin/defaults"); // defaults(1)
    QString sed = QStringLiteral("/usr/bin/sed");           // text_cmds
    QString head = QStringLiteral("/usr/bin/head");         // text_cmds
    // What the stand-ins read besides PATH where a program runs in an
    // environment of its own (as root's does); none in production.
    QStringList standInEnvironment;
};

// The fixed paths, or for the Linux demo the macOS programs of the install
// path taken from a folder of stand-ins (empty: none), with their settings.
inline SystemTools systemTools(const QString& standInsDirectory) {
    SystemTools tools;
    if (!standInsDirectory.isEmpty()) {
        // mv for BSD's -h, which GNU's lacks.
        for (QString* tool : {&tools.hdiutil, &tools.codesign, &tools.osascript, &tools.ditto,
                              &tools.xattr, &tools.open, &tools.plistBuddy, &tools.launchctl,
                              &tools.sudo, &tools.chown, &tools.env, &tools.defaults, &tools.mv})
            *tool = standInsDirectory + tool->mid(tool->lastIndexOf(QLatin1Char('/')));
        tools.standInEnvironment = QProcessEnvironment::systemEnvironment().toStringList().filter(
            QRegularExpression(QStringLiteral("^VELDRA_FAKE_")));
    }
    return tools;
}

} // namespace veldra
