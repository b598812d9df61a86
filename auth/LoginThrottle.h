#ifndef LOGINTHROTTLE_H
#define LOGINTHROTTLE_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>

// Counts failed logins per client (an IPv6 client by its /64 network, which
// one machine usually holds whole). MaxFailures within WindowMs block the
// client for BlockMs. The table is bounded: when full, the entry that failed
// least recently makes room.
class LoginThrottle
{
public:
    static constexpr int MaxFailures = 5;
    static constexpr qint64 WindowMs = 5 * 60 * 1000;
    static constexpr qint64 BlockMs = 5 * 60 * 1000;
    static constexpr int MaxClients = 10000;

    bool isBlocked(const QHostAddress &client, qint64 nowMs) const;
    // True when this failure blocks the client (once per block).
    bool recordFailure(const QHostAddress &client, qint64 nowMs);
    void recordSuccess(const QHostAddress &client);
    int size() const { return m_clients.size(); }

private:
    struct Entry
    {
        qint64 windowStart = 0;
        qint64 lastFailure = 0;
        qint64 blockedUntil = 0;
        int failures = 0;
    };

    static QByteArray keyOf(const QHostAddress &client);
    void makeRoom(qint64 nowMs);

    QHash<QByteArray, Entry> m_clients;
};

#endif // LOGINTHROTTLE_H
