#ifndef SESSIONREVOCATIONS_H
#define SESSIONREVOCATIONS_H

#include "SessionCookie.h"

#include <QHash>

// Sessions ended before their time by a logout, kept until they would have
// expired anyway. The table is bounded; when it is full of sessions that
// are still live, the oldest entry goes, and with it every session issued
// up to that one ends: a logged-out session never comes back to life.
class SessionRevocations
{
public:
    static constexpr int DefaultLimit = 4096;

    explicit SessionRevocations(int limit = DefaultLimit);

    void revoke(const SessionCookie::Session &session, qint64 nowSecs);
    bool isRevoked(const SessionCookie::Session &session) const;
    int size() const { return m_expiries.size(); }

private:
    void makeRoom(qint64 nowSecs);

    int m_limit;
    QHash<QByteArray, qint64> m_expiries; // session nonce -> when it would have expired
    qint64 m_endedUpTo = -1;              // every session issued up to this second is ended
};

#endif // SESSIONREVOCATIONS_H
