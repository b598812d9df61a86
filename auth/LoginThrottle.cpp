#include "LoginThrottle.h"

QByteArray LoginThrottle::keyOf(const QHostAddress &client)
{
    bool isIPv4 = false;
    const quint32 ipv4 = client.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QByteArray::number(ipv4);
    const Q_IPV6ADDR ipv6 = client.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(ipv6.c), 8);
}

bool LoginThrottle::isBlocked(const QHostAddress &client, qint64 nowMs) const
{
    const auto it = m_clients.constFind(keyOf(client));
    return it != m_clients.constEnd() && it->blockedUntil > nowMs;
}

bool LoginThrottle::recordFailure(const QHostAddress &client, qint64 nowMs)
{
    const QByteArray key = keyOf(client);
    if (!m_clients.contains(key) && m_clients.size() >= MaxClients)
        makeRoom(nowMs);
    Entry &entry = m_clients[key];
    if (entry.blockedUntil > nowMs)
        return false;
    if (entry.failures == 0 || nowMs - entry.windowStart >= WindowMs) {
        entry.windowStart = nowMs;
        entry.failures = 0;
    }
    entry.lastFailure = nowMs;
    if (++entry.failures < MaxFailures)
        return false;
    entry.blockedUntil = nowMs + BlockMs;
    entry.failures = 0;
    return true;
}

void LoginThrottle::recordSuccess(const QHostAddress &client)
{
    m_clients.remove(keyOf(client));
}

// Entries whose window and block are over go first; if none has, the one
// that failed least recently.
void LoginThrottle::makeRoom(qint64 nowMs)
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (it->blockedUntil <= nowMs && nowMs - it->lastFailure >= WindowMs)
            it = m_clients.erase(it);
        else
            ++it;
    }
    if (m_clients.size() < MaxClients)
        return;
    auto oldest = m_clients.begin();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (it->lastFailure < oldest->lastFailure)
            oldest = it;
    }
    m_clients.erase(oldest);
}
