#include "QtHttpServerWrapper.h"

#include <QSslSocket>

QtHttpServerWrapper::QtHttpServerWrapper(QObject *parent)
    : QTcpServer(parent)
{
}

void QtHttpServerWrapper::incomingConnection(qintptr handle)
{
    QTcpSocket *sock = m_useSecure ? new QSslSocket(this) : new QTcpSocket(this);
    if (sock->setSocketDescriptor(handle))
        addPendingConnection(sock);
    else
        delete sock;
}
