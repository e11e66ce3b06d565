#include "platform/ManagedPreferences.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace veldra::platform {

QVariantMap managedPreferences(const QString&, const QStringList& keys,
                               const QString& standInFile) {
    QFile file(standInFile);
    if (!file.exists())
        return {};
    QJsonParseError error{};
    const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(file.readAll(), &error)
                                       : QJsonDocument();
    if (!document.isObject()) {
        qWarning("Managed settings in %s are ignored: not a readable JSON object.",
                 qPrintable(standInFile));
        return {};
    }
    QVariantMap values;
    const QJsonObject object = document.object();
    for (const QString& key : keys)
        if (object.contains(key))
            values.insert(key, object.value(key).toVariant());
    return values;
}

} // namespace veldra::platform
