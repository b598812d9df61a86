#ifndef QTHTTPSERVERWRAPPER_H
#define QTHTTPSERVERWRAPPER_H

#include <QBasicTimer>
#include <QList>
#include <QTcpServer>

class QSocketNotifier;

// The listening socket: gives every accepted connection a plain TCP socket,
// or a QtHttpTlsSocket when secure mode is on. It owns the sockets it creates.
// It accepts connections itself: when accept() fails for want of file
// descriptors it pauses for QtHttp::ACCEPT_RETRY_MS, where QTcpServer would
// retry at once, in a busy loop, for as long as the shortage lasts.
class QtHttpServerWrapper : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpServerWrapper)

public:
    explicit QtHttpServerWrapper(QObject *parent = nullptr);
    ~QtHttpServerWrapper() override;

    void setUseSecure(bool ssl) { m_useSecure = ssl; }

    // listen() and close() with the accepting of connections taken over.
    bool startListening(const QHostAddress &address, quint16 port);
    void stopListening();

    // Accepted sockets are queued here rather than in QTcpServer, whose
    // nextPendingConnection() would switch its own socket watcher back on: two
    // watchers of one descriptor displace each other in Qt's event loop.
    bool hasPendingConnections() const override;
    QTcpSocket *nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onAcceptReady();

private:
    bool m_useSecure = false;
    QSocketNotifier *m_acceptNotifier = nullptr;
    // A plain timer, not a QTimer: a site runs thousands of servers, and this
    // one is needed only when accepting fails.
    QBasicTimer m_retryTimer;
    QList<QTcpSocket *> m_pending;
};

#endif // QTHTTPSERVERWRAPPER_H
