#ifndef QTHTTPADDRESSCOUNTS_H
#define QTHTTPADDRESSCOUNTS_H

#include "QtHttpConstants.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

class QtHttpClientWrapper;

// Connections per client address, counted over every server that shares
// this object (one per process, like the memory budget), so that one address
// cannot hold the cap on each of a site's many ports. A connection holds at
// most one place, under one address, until it releases it.
class QtHttpAddressCounts : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpAddressCounts)

public:
    explicit QtHttpAddressCounts(int maxPerAddress = QtHttp::MAX_CONNECTIONS_PER_ADDRESS, QObject *parent = nullptr);

    int getMaxPerAddress() const { return m_maxPerAddress; }
    void setMaxPerAddress(int count) { m_maxPerAddress = count; }
    bool isFull(const QHostAddress &address) const;

    // Moves the connection's place to the address; false, leaving it none,
    // when the address already holds its cap.
    bool take(const QtHttpClientWrapper *connection, const QHostAddress &address);
    void release(const QtHttpClientWrapper *connection);
    bool isCountedUnder(const QtHttpClientWrapper *connection, const QHostAddress &address) const;

    // Whether a refusal of this address is worth a log line: once a minute
    // per address, whichever server refused it.
    bool shouldReport(const QHostAddress &address);

private:
    int m_maxPerAddress;
    QHash<QHostAddress, int> m_counts;
    QHash<const QtHttpClientWrapper *, QHostAddress> m_places;
    QHash<QHostAddress, qint64> m_reported; // when, in ms since the epoch
};

#endif // QTHTTPADDRESSCOUNTS_H
