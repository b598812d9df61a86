#ifndef STATUSJSON_H
#define STATUSJSON_H

#include "ServiceStatus.h"

#include <QByteArray>

// The service's status for programs: one JSON object, ages in seconds
// (null for never), the last snapshots left out.
class StatusJson
{
public:
    StatusJson() = delete;

    static QByteArray render(const ServiceStatus &status);
};

#endif // STATUSJSON_H
