#ifndef QTHTTPSERVERWRAPPER_H
#define QTHTTPSERVERWRAPPER_H

#include <QTcpServer>

// The listening socket: gives every accepted connection a plain TCP socket,
// or a TLS socket when secure mode is on. It owns the sockets it creates.
class QtHttpServerWrapper : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpServerWrapper)

public:
    explicit QtHttpServerWrapper(QObject *parent = nullptr);

    void setUseSecure(bool ssl) { m_useSecure = ssl; }

protected:
    void incomingConnection(qintptr handle) override;

private:
    bool m_useSecure = false;
};

#endif // QTHTTPSERVERWRAPPER_H
