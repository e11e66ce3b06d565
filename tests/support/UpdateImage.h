#pragma once

#include "platform/Bundle.h"
#include "updater/installing/Installer.h"
#include "updater/offer/Minisign.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace veldra::test {

// An application bundle as an update image may carry it.
struct AppSpec {
    QString bundleId = "com.veldra.clouddesktop";
    QString version = "2.1";
    QString architectures = "x86_64";  // the executable's, separated by spaces
    QString seal = "sealed\n";         // what the fake codesign reads; "" is unsigned
    QString marker = "new";            // a file inside, to tell copies apart
    QString minimumSystemVersion = {}; // LSMinimumSystemVersion; empty: none
    QStringList tarOptions = {};       // more for the tar that makes the image
};

// The head of a Mach-O executable holding those architectures.
QByteArray machOHead(const QStringList& architectures);
bool makeApp(const QString& bundlePath, const AppSpec& spec);
// A test disk image: a tar archive of a volume holding the application.
bool makeUpdateImage(const QString& imagePath, const AppSpec& spec);
// `size` bytes of repeatable pseudo-random image content.
QByteArray imageBytes(qsizetype size);
// Runs the real minisign in `dir`; true when it succeeded.
bool runMinisign(const QString& dir, const QStringList& arguments);
// The key of a minisign.pub file.
std::optional<MinisignKey> minisignPublicKey(const QString& pubFile);

// A fake install place, its folder named to test every quoting layer: an
// installed 2.0 ("old") under Applications, the fake tools' log and Volumes
// folder (set in this process's environment, which children inherit) and a
// temporary folder.
class InstallSandbox {
    QTemporaryDir m_dir; // first: the paths below are made from it
    bool m_ready = false;

public:
    InstallSandbox();
    bool isReady() const { return m_ready; }
    const QString log, volumes, temp, installed;
    QString installedMarker() const;
    QStringList toolLog() const;
    QStringList tempFiles() const;
    QStringList mountedVolumes() const;
    QStringList applications() const; // the Applications folder, hidden entries too
};

// The fakes of tests/support/fakes in place of the macOS programs.
SystemTools fakeTools();
QString fakesDir();

} // namespace veldra::test
