// Signs in through the production launcher instance, prints the client's PID
// once the session has opened, and quits the application at once.
#include "launcher/RdpLauncher.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int exitCode = 2;
    auto& launcher = veldra::RdpLauncher::shared();
    launcher.connect(QStringLiteral("alice"), QStringLiteral("pw"),
                     [&](const veldra::LaunchOutcome& outcome) {
                         QTextStream out(stdout);
                         if (outcome.succeeded()) {
                             out << launcher.activeProcess()->processId() << Qt::endl;
                             exitCode = 0;
                         } else {
                             out << outcome.errorDescription() << Qt::endl;
                             exitCode = 1;
                         }
                         QCoreApplication::quit();
                     });
    QCoreApplication::exec();
    return exitCode;
}
