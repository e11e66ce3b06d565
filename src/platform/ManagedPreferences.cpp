#include "platform/ManagedPreferences.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace veldra::platform {

QVariantMap managedPreferencesFromJson(const QString& file, const QStringList& keys) {
    QFile in(file);
    if (!in.exists())
        return {};
    QJsonParseError error{};
    const QJsonDocument document = in.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(in.readAll(), &error)
                                       : QJsonDocument();
    if (!document.isObject()) {
        qWarning("Managed settings in %s are ignored: not a readable JSON object.",
                 qPrintable(file));
        return {};
    }
    QVariantMap values;
    const QJsonObject object = document.object();
    for (const QString& key : keys) {
        if (!object.contains(key))
            continue;
        // The types a profile can hold as CFPreferences hands them over;
        // an array or an object is no value of ours.
        const QJsonValue value = object.value(key);
        values.insert(key, value.isString() || value.isBool() || value.isDouble()
                               ? value.toVariant()
                               : QVariant());
    }
    return values;
}

#ifndef Q_OS_MACOS
QVariantMap managedPreferences(const QString&, const QStringList& keys,
                               const QString& standInFile) {
    return managedPreferencesFromJson(standInFile, keys);
}
#endif

} // namespace veldra::platform
