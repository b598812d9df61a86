#ifndef STILLSNAPSHOT_H
#define STILLSNAPSHOT_H

#include "Poller.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

class HTTPFetcher;
class QtHttpClientWrapper;

// One snapshot fetched for the connections that asked for a still picture
// of a channel nobody watches. Each gets the JPEG, or 502 when the DVR
// failed, as a whole response of its own, and its connection is closed.
// The connections that ask while the fetch is in flight share it.
class StillSnapshot : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(StillSnapshot)

public:
    // More connections than this waiting for one channel are turned away.
    static constexpr int MaxWaiting = 64;

    StillSnapshot(const Poller::Source &source, int timeoutMs, QObject *parent = nullptr);
    ~StillSnapshot() override;

    // False when the channel has MaxWaiting connections waiting already.
    bool addWaiter(QtHttpClientWrapper *client);
    // Starts the fetch; finished() may come before this returns.
    void start();

    // The whole response for a JPEG, and for a failed fetch.
    static QByteArray jpegResponse(const QByteArray &jpeg);
    static QByteArray failureResponse();

signals:
    // Every waiter was answered; the object may go.
    void finished();

private:
    void answer(const QByteArray &response);

    HTTPFetcher *m_fetcher;
    QList<QPointer<QtHttpClientWrapper>> m_waiting;
};

#endif // STILLSNAPSHOT_H
