#ifndef METRICSTEXT_H
#define METRICSTEXT_H

#include "ServiceStatus.h"

#include <QByteArray>

// The service's status in the text format metrics scrapers read: every
// name starts with tavro_, carries its unit, and counters end in _total.
class MetricsText
{
public:
    MetricsText() = delete;

    static const char ContentType[];

    static QByteArray render(const ServiceStatus &status);
};

#endif // METRICSTEXT_H
