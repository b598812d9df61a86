#ifndef STATUSROUTES_H
#define STATUSROUTES_H

#include "ServiceStatus.h"

#include <QString>

#include <functional>

class QtHttpReply;
class QtHttpRequest;

// Answers the status page, its JSON and the metrics, each made from a
// fresh picture of the service. Who may read them is decided before a
// request gets here.
class StatusRoutes
{
public:
    using Collector = std::function<ServiceStatus()>;

    static const QString PagePath;    // "/.tavro/status"
    static const QString JsonPath;    // "/.tavro/status.json"
    static const QString MetricsPath; // "/.tavro/metrics"

    explicit StatusRoutes(const Collector &collect)
        : m_collect(collect)
    {
    }

    // Any other path under /.tavro/ is not found; false, leaving the reply
    // alone, for a path outside it.
    bool serve(const QtHttpRequest &request, QtHttpReply *reply) const;

private:
    Collector m_collect;
};

#endif // STATUSROUTES_H
