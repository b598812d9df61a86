#ifndef POLLER_H
#define POLLER_H

#include <QBasicTimer>
#include <QByteArray>
#include <QObject>
#include <QString>

class HTTPFetcher;

// Polls one HTTP source while active: a fetch, then a pause whose length
// depends on how the fetch ended, then the next fetch. At most one fetch is
// in flight. The fetcher is made on the first start, so a source nobody
// asks for costs no more than this object.
class Poller : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Poller)

public:
    struct Source
    {
        QString url;
        QString user;
        QString password;

        // PATH over plain HTTP on a device named by a host name or an IP
        // address (IPv6 bracketed in the URL, as it must be).
        static Source onDevice(const QString &host, int port, const QString &path, const QString &user,
                               const QString &password);
    };

    // intervalMs follows a good fetch (and precedes the first one),
    // retryMs a failed one.
    Poller(const Source &source, int intervalMs, int retryMs, QObject *parent = nullptr);
    ~Poller() override;

    // A fetch in flight from the old source is dropped unreported, and the
    // next fetch, from the new one, follows after the usual interval.
    void setSource(const Source &source);
    // Applies to fetches started afterwards; zero or less means none.
    void setTransferTimeout(int milliseconds);

    // The first fetch follows after intervalMs; when the last fetch is still
    // in flight, its end arms the next one instead.
    void start();
    // No further fetch; one in flight still reports its result.
    void stop();

signals:
    void polled(const QByteArray &body);
    void failed(const QString &msg);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    HTTPFetcher *fetcher();
    void dropFetcher();
    void onFetched();
    void onError(const QString &msg);

    Source m_source;
    const int m_intervalMs;
    const int m_retryMs;
    int m_transferTimeoutMs;
    HTTPFetcher *m_fetcher = nullptr;
    QBasicTimer m_timer;
    bool m_active = false;
};

bool operator==(const Poller::Source &a, const Poller::Source &b);
bool operator!=(const Poller::Source &a, const Poller::Source &b);

#endif // POLLER_H
