#include "Poller.h"

#include "HTTPFetcher.h"

#include <QTimerEvent>
#include <QUrl>

Poller::Poller(const Source &source, int intervalMs, int retryMs, QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_intervalMs(intervalMs)
    , m_retryMs(retryMs)
    , m_transferTimeoutMs(HTTPFetcher::DefaultTransferTimeoutMs)
{
}

// The fetcher goes with this object, as its child.
Poller::~Poller()
{
    if (m_fetcher) {
        m_fetcher->disconnect(this);
        m_fetcher->abort();
    }
}

void Poller::setSource(const Source &source)
{
    if (source == m_source)
        return;
    m_source = source;
    if (!m_fetcher)
        return;
    if (!m_fetcher->isFetching()) {
        m_fetcher->setCredentials(m_source.user, m_source.password);
        m_fetcher->setUrl(m_source.url);
        return;
    }
    dropFetcher();
    if (m_active)
        m_timer.start(m_intervalMs, this);
}

void Poller::setTransferTimeout(int milliseconds)
{
    m_transferTimeoutMs = milliseconds;
    if (m_fetcher)
        m_fetcher->setTransferTimeout(milliseconds);
}

void Poller::start()
{
    if (m_active)
        return;
    m_active = true;
    if (!fetcher()->isFetching())
        m_timer.start(m_intervalMs, this);
}

void Poller::stop()
{
    m_active = false;
    m_timer.stop();
}

void Poller::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_timer.stop();
    if (m_active)
        fetcher()->fetch();
}

HTTPFetcher *Poller::fetcher()
{
    if (!m_fetcher) {
        m_fetcher = new HTTPFetcher(this);
        m_fetcher->setCredentials(m_source.user, m_source.password);
        m_fetcher->setUrl(m_source.url);
        m_fetcher->setTransferTimeout(m_transferTimeoutMs);
        connect(m_fetcher, &HTTPFetcher::fetched, this, &Poller::onFetched);
        connect(m_fetcher, &HTTPFetcher::error, this, &Poller::onError);
    }
    return m_fetcher;
}

// Disconnected before the abort, which reports the cancelled fetch at once.
// Deferred: this may run inside one of the fetcher's own signals.
void Poller::dropFetcher()
{
    if (!m_fetcher)
        return;
    m_fetcher->disconnect(this);
    m_fetcher->abort();
    m_fetcher->deleteLater();
    m_fetcher = nullptr;
}

void Poller::onFetched()
{
    if (m_active)
        m_timer.start(m_intervalMs, this);
    emit polled(m_fetcher->data());
}

void Poller::onError(const QString &msg)
{
    if (m_active)
        m_timer.start(m_retryMs, this);
    emit failed(msg);
}

Poller::Source Poller::Source::onDevice(const QString &host, int port, const QString &path, const QString &user,
                                        const QString &password)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(path);
    return {url.toString(QUrl::FullyEncoded), user, password};
}

bool operator==(const Poller::Source &a, const Poller::Source &b)
{
    return a.url == b.url && a.user == b.user && a.password == b.password;
}

bool operator!=(const Poller::Source &a, const Poller::Source &b)
{
    return !(a == b);
}
