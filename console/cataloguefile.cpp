#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "console/catalogue.h"

// The catalogue the program carries is a resource of this library.
static void initCatalogueResource()
{
    Q_INIT_RESOURCE(catalogue);
}

QJsonArray readCommandCatalogue(const QString &path)
{
    initCatalogueResource();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Resource file not attached ?";
        return {};
    }
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("commands")).toArray();
}

QString commandNameIn(const QJsonArray &commands, uint32_t code)
{
    for (const QJsonValue &entry : commands) {
        const QJsonObject command = entry.toObject();
        if (uint32_t(command.value(QStringLiteral("value")).toInt()) == code)
            return command.value(QStringLiteral("name")).toString();
    }
    return QStringLiteral("Unknown");
}
