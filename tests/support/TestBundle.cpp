#include "TestBundle.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <functional>
#include <sys/stat.h>

namespace veldra::test {

TestBundle::TestBundle() : m_bundle(m_dir.path() + QStringLiteral("/Test.app")) {
    QDir().mkpath(macOSDir());
}

bool TestBundle::writeFile(const QString& path, const QByteArray& bytes, int mode) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool ok = file.write(bytes) == bytes.size();
    file.close();
    return ok && ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

QString TestBundle::addScript(const QString& name, const QByteArray& body) const {
    const QString path = macOSDir() + QLatin1Char('/') + name;
    writeFile(path, QByteArray("#!/bin/sh\n") + body, 0755);
    return path;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool pidAlive(qint64 pid) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    // A zombie still answers kill(0); ps tells its state on Linux and macOS alike.
    QProcess ps;
    ps.start("ps", {"-o", "stat=", "-p", QString::number(pid)});
    return !ps.waitForFinished(10000) || !ps.readAllStandardOutput().trimmed().startsWith('Z');
}

void killPid(qint64 pid) {
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

} // namespace veldra::test
