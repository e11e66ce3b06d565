#include "platform/LaunchdJob.h"

namespace veldra::platform {

QByteArray launchdJob(const QString& label, const QStringList& programArguments) {
    const auto xml = [](QString text) {
        return text.replace(QLatin1Char('&'), QLatin1String("&amp;"))
            .replace(QLatin1Char('<'), QLatin1String("&lt;"))
            .replace(QLatin1Char('>'), QLatin1String("&gt;"))
            .toUtf8();
    };
    QByteArray plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n<dict>\n\t<key>Label</key>\n\t<string>" +
                       xml(label) + "</string>\n\t<key>ProgramArguments</key>\n\t<array>\n";
    for (const QString& argument : programArguments)
        plist += "\t\t<string>" + xml(argument) + "</string>\n";
    // Run once when loaded, never again, and whatever it starts (an
    // application, through open) outlives it. Interactive: launchd would
    // otherwise throttle its CPU and I/O (launchd.plist(5)) while the user waits.
    return plist + "\t</array>\n\t<key>RunAtLoad</key>\n\t<true/>\n\t<key>LaunchOnlyOnce</key>\n"
                   "\t<true/>\n\t<key>AbandonProcessGroup</key>\n\t<true/>\n"
                   "\t<key>ProcessType</key>\n\t<string>Interactive</string>\n</dict>\n</plist>\n";
}

} // namespace veldra::platform
