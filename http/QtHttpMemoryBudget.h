#ifndef QTHTTPMEMORYBUDGET_H
#define QTHTTPMEMORYBUDGET_H

#include "QtHttpConstants.h"

#include <QBasicTimer>
#include <QHash>
#include <QObject>

class QtHttpClientWrapper;

// The bytes that the connections of one or more servers together hold:
// request bytes read and not yet parsed or answered, reply bytes written and
// not yet taken by the peer. Each connection reports what it holds; while
// the sum is over the limit, servers refuse new connections, and from the
// event loop the connections holding the most are closed until the sum is
// back under three quarters of the limit. One budget is meant to be shared
// by every server of a process; a server given none keeps its own.
class QtHttpMemoryBudget : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpMemoryBudget)

public:
    explicit QtHttpMemoryBudget(qint64 limit = QtHttp::MEMORY_BUDGET, QObject *parent = nullptr);

    qint64 getLimit() const { return m_limit; }
    qint64 getHeld() const { return m_held; }
    bool isExceeded() const { return m_held > m_limit; }

    // What a connection holds now; a connection not known yet is added.
    void update(QtHttpClientWrapper *connection, qint64 bytes);
    void remove(QtHttpClientWrapper *connection);

signals:
    // Connections were closed to come back under the limit.
    void connectionsShed(int count, qint64 bytes);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void shed();
    void releaseFreedMemory();

    qint64 m_limit;
    qint64 m_held = 0;
    qint64 m_peak = 0; // since memory was last handed back to the system
    QHash<QtHttpClientWrapper *, qint64> m_holdings;
    QBasicTimer m_shedTimer;
    QBasicTimer m_trimTimer;
};

#endif // QTHTTPMEMORYBUDGET_H
