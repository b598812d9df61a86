#include "OutputsRequest.h"

#include <QStringList>

std::optional<QMap<int, int>> OutputsRequest::parse(const QString &value)
{
    QMap<int, int> change;
    const QStringList pairs = value.split(QLatin1Char('|'));
    for (const QString &pair : pairs) {
        const QStringList fields = pair.split(QLatin1Char(','));
        if (fields.size() != 2)
            return std::nullopt;
        change.insert(fields.at(0).toInt(), fields.at(1).toInt());
    }
    return change;
}
