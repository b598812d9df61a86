#ifndef SERVICESTATUS_H
#define SERVICESTATUS_H

#include <QByteArray>
#include <QList>
#include <QString>

// A still picture of the running service, as plain values: what the status
// page, its JSON and the metrics are made from. Times are milliseconds since
// the epoch, 0 for never.
struct ServiceStatus
{
    struct Link
    {
        bool encrypted = false;
        bool connected = false;
        qint64 lastMessageMs = 0;
        quint64 messages = 0;
        qint64 lastConfigurationMs = 0;
        quint64 configurations = 0;
        // The counts of the configuration applied last (or loaded at start).
        int dvrs = 0;
        int streams = 0;
        int ioModules = 0;
        int doors = 0;
    };

    // One DVR channel, under the first stream that names it.
    struct Channel
    {
        int dvrId = 0;
        QString dvr;
        QString stream;
        int channel = 0;
        int viewers = 0;
        quint64 framesDelivered = 0;
        quint64 failures = 0;
        qint64 lastGoodMs = 0;
        qint64 lastErrorMs = 0;
        QString lastError;
        QByteArray snapshot; // the last good one, kept while watched
    };

    struct IoModule
    {
        int id = 0;
        QString name;
        bool polled = false;
        qint64 lastReadMs = 0;
        qint64 lastErrorMs = 0;
        QString lastError;
        int queuedChanges = 0;
    };

    struct Port
    {
        QString role; // "video" or "events"
        quint16 port = 0;
        int connections = 0;
        quint64 refusals = 0;
    };

    QString version;
    qint64 startedMs = 0;
    qint64 nowMs = 0;
    Link link;
    QList<Channel> channels;
    QList<IoModule> ioModules;
    QList<Port> ports;
};

#endif // SERVICESTATUS_H
