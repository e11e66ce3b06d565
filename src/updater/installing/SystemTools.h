#pragma once

#include <QString>

namespace veldra {

// Where the system programs of an install live: fixed paths in production,
// fakes in tests. The install script is written with these paths too.
struct SystemTools {
    QString hdiutil = QStringLiteral("/usr/bin/hdiutil");
    QString codesign = QStringLiteral("/usr/bin/codesign");
    QString lipo = QStringLiteral("/usr/bin/lipo");
    QString zsh = QStringLiteral("/bin/zsh");
    QString osascript = QStringLiteral("/usr/bin/osascript");
    QString ditto = QStringLiteral("/usr/bin/ditto");
    QString xattr = QStringLiteral("/usr/bin/xattr");
    QString mv = QStringLiteral("/bin/mv");
    QString rm = QStringLiteral("/bin/rm");
    QString kill = QStringLiteral("/bin/kill");
    QString sleep = QStringLiteral("/bin/sleep");
    QString open = QStringLiteral("/usr/bin/open");
    // What the administrator command uses to take its own copy of the script.
    QString mktemp = QStringLiteral("/usr/bin/mktemp");
    QString cp = QStringLiteral("/bin/cp");
    QString shasum = QStringLiteral("/usr/bin/shasum");
    // What the script checks the staged copy with, and starts it as the user with.
    QString plistBuddy = QStringLiteral("/usr/libexec/PlistBuddy");
    QString launchctl = QStringLiteral("/bin/launchctl");
    QString sudo = QStringLiteral("/usr/bin/sudo");
    // What makes root's copy of a patched application root's own.
    QString chown = QStringLiteral("/usr/sbin/chown");
    // What clears the user's environment before anything runs as root.
    QString env = QStringLiteral("/usr/bin/env");
    // What the script lists, hashes and clears folders with.
    QString chmod = QStringLiteral("/bin/chmod");
    QString mkdir = QStringLiteral("/bin/mkdir");
    QString find = QStringLiteral("/usr/bin/find");
    QString sort = QStringLiteral("/usr/bin/sort");
    QString cut = QStringLiteral("/usr/bin/cut");
};

// The fixed paths, or for the Linux demo the macOS programs of the install
// path taken from a folder of stand-ins (empty: none).
inline SystemTools systemTools(const QString& standInsDirectory) {
    SystemTools tools;
    if (!standInsDirectory.isEmpty()) {
        for (QString* tool : {&tools.hdiutil, &tools.codesign, &tools.lipo, &tools.osascript,
                              &tools.ditto, &tools.xattr, &tools.open, &tools.plistBuddy,
                              &tools.launchctl, &tools.sudo, &tools.chown, &tools.env})
            *tool = standInsDirectory + tool->mid(tool->lastIndexOf(QLatin1Char('/')));
    }
    return tools;
}

} // namespace veldra
