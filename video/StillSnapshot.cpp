#include "StillSnapshot.h"

#include "HTTPFetcher.h"
#include "QtHttpClientWrapper.h"

#include <utility>

StillSnapshot::StillSnapshot(const Poller::Source &source, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_fetcher(new HTTPFetcher(this))
{
    m_fetcher->setCredentials(source.user, source.password);
    m_fetcher->setUrl(source.url);
    m_fetcher->setTransferTimeout(timeoutMs);
    connect(m_fetcher, &HTTPFetcher::fetched, this, [this] { answer(jpegResponse(m_fetcher->data())); });
    connect(m_fetcher, &HTTPFetcher::error, this, [this] { answer(failureResponse()); });
}

void StillSnapshot::start()
{
    m_fetcher->fetch();
}

// A fetch still in flight reports nothing once this object goes.
StillSnapshot::~StillSnapshot()
{
    m_fetcher->disconnect(this);
    m_fetcher->abort();
}

bool StillSnapshot::addWaiter(QtHttpClientWrapper *client)
{
    if (m_waiting.size() >= MaxWaiting)
        return false;
    m_waiting.append(client);
    return true;
}

QByteArray StillSnapshot::jpegResponse(const QByteArray &jpeg)
{
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: image/jpeg\r\n"
           "Content-Length: "
        + QByteArray::number(jpeg.size())
        + "\r\n"
          "Cache-Control: no-store\r\n"
          "X-Content-Type-Options: nosniff\r\n"
          "Connection: close\r\n\r\n"
        + jpeg;
}

QByteArray StillSnapshot::failureResponse()
{
    static const QByteArray text = "No snapshot: the DVR did not give one\n";
    return "HTTP/1.1 502 Bad Gateway\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: "
        + QByteArray::number(text.size())
        + "\r\n"
          "Cache-Control: no-store\r\n"
          "X-Content-Type-Options: nosniff\r\n"
          "Connection: close\r\n\r\n"
        + text;
}

void StillSnapshot::answer(const QByteArray &response)
{
    const QList<QPointer<QtHttpClientWrapper>> waiting = std::exchange(m_waiting, {});
    for (QtHttpClientWrapper *client : waiting) {
        if (!client)
            continue;
        client->sendToClient(response);
        client->close();
    }
    emit finished();
}
