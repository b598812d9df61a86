#include "SessionRevocations.h"

#include <iterator>

SessionRevocations::SessionRevocations(int limit)
    : m_limit(limit)
{
}

void SessionRevocations::revoke(const SessionCookie::Session &session, qint64 nowSecs)
{
    if (isRevoked(session))
        return;
    if (m_expiries.size() >= m_limit)
        makeRoom(nowSecs);
    m_expiries.insert(session.nonce, session.issued + SessionCookie::LifetimeSecs);
}

bool SessionRevocations::isRevoked(const SessionCookie::Session &session) const
{
    return session.issued <= m_endedUpTo || m_expiries.contains(session.nonce);
}

// Expired entries go first; if none has, the sessions issued up to the
// oldest entry all end, so that entry and those before it are no longer needed.
void SessionRevocations::makeRoom(qint64 nowSecs)
{
    for (auto it = m_expiries.begin(); it != m_expiries.end();)
        it = *it <= nowSecs ? m_expiries.erase(it) : std::next(it);
    if (m_expiries.size() < m_limit)
        return;
    qint64 oldest = m_expiries.begin().value();
    for (const qint64 expiry : qAsConst(m_expiries))
        oldest = qMin(oldest, expiry);
    m_endedUpTo = qMax(m_endedUpTo, oldest - SessionCookie::LifetimeSecs);
    for (auto it = m_expiries.begin(); it != m_expiries.end();)
        it = *it <= oldest ? m_expiries.erase(it) : std::next(it);
}
