#ifndef HTTPFETCHER_H
#define HTTPFETCHER_H

#include "QtHttpMessageParser.h"

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// A reusable HTTP GET client: configured once with a URL and optional Basic
// credentials, then asked to fetch again and again. Every fetch ends in
// exactly one fetched() or error(msg).
//
// It keeps one HTTP/1.1 keep-alive connection of its own, opened on the first
// fetch and reopened when the peer closes it or a fetch fails, so a poller
// pays for the request and the body and not for a connection per fetch.
// Redirects are not followed: any status other than 2xx ends in error.
//
// Fetches run one at a time. A fetch() while one is in flight is queued and
// sent when the one before it ends, with the URL and credentials as they are
// then; abort() ends the fetch in flight and every queued one.
class HTTPFetcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HTTPFetcher)

public:
    // A peer that sends nothing for this long ends the fetch in error, so a
    // host that accepts connections and never answers cannot hold a poller.
    static constexpr int DefaultTransferTimeoutMs = 5000;
    // A body larger than this ends the fetch in error instead of growing
    // without limit.
    static constexpr qint64 MaxBodyBytes = 16 * 1024 * 1024;
    // Bounds on the status line, header and trailer lines and chunk-size
    // lines of a response, and on its head, for the same reason.
    static constexpr int MaxLineBytes = 8 * 1024;
    static constexpr int MaxHeaderLines = 100;
    static constexpr int MaxHeadBytes = 32 * 1024;

    explicit HTTPFetcher(QObject *parent = nullptr);

    void setCredentials(const QString &user, const QString &password);
    void setUrl(const QString &url);
    // Zero or less means no time-out.
    void setTransferTimeout(int milliseconds);

    void fetch();
    void abort();

    const QByteArray &data() const { return m_data; }
    bool isFetching() const { return m_stage != Stage::Idle || m_queued > 0; }

signals:
    void fetched();
    void error(QString msg);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError socketError);

private:
    // BadUrl: the fetch can only fail, and does so from the event loop.
    enum class Stage { Idle, BadUrl, Connecting, Receiving };

    void prepareRequest();
    void start();
    void openConnection();
    void dropConnection();
    void send();
    void restartTimer();
    void handle(QtHttpMessageParser::Status status);

    void complete();
    void fail(const QString &msg);
    void finish(bool keepConnection);
    void startQueued();

    QString m_user;
    QString m_password;
    QString m_url;

    // Derived from the URL and credentials when they change, not per fetch.
    QByteArray m_request;
    QString m_host;
    quint16 m_port = 80;
    QString m_urlError;

    // A child, one per connection, made when a fetch needs one: most
    // fetchers of a site (channels nobody watches) never fetch at all.
    QTcpSocket *m_socket = nullptr;
    QString m_connectedHost;
    quint16 m_connectedPort = 0;
    // A request on a reused connection may cross the peer closing it while
    // idle; such a request is sent once more on a fresh connection.
    bool m_reused = false;
    bool m_retried = false;

    // The transfer time-out, restarted whenever data arrives.
    QBasicTimer m_timer;
    int m_transferTimeoutMs = DefaultTransferTimeoutMs;

    Stage m_stage = Stage::Idle;
    int m_queued = 0;
    bool m_responseStarted = false;
    QtHttpMessageParser m_reader;
    QByteArray m_data;
};

#endif // HTTPFETCHER_H
