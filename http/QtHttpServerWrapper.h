#ifndef QTHTTPSERVERWRAPPER_H
#define QTHTTPSERVERWRAPPER_H

#include <QTcpServer>

class QSocketNotifier;
class QTimer;

// The listening socket: gives every accepted connection a plain TCP socket,
// or a TLS socket when secure mode is on. It owns the sockets it creates.
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

    QTcpSocket *nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;

private slots:
    void onAcceptReady();

private:
    bool m_useSecure = false;
    QSocketNotifier *m_acceptNotifier = nullptr;
    QTimer *m_retryTimer;
};

#endif // QTHTTPSERVERWRAPPER_H
