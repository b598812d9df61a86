#include "QtHttpRequest.h"

#include "QtHttpConstants.h"
#include "QtHttpServer.h"

QtHttpRequest::QtHttpRequest(QtHttpClientWrapper *client, QtHttpServer *parent)
    : QObject(parent)
    , m_clientHandle(client)
{
    addHeader(QtHttp::CONTENT_LENGTH, QByteArrayLiteral("0"));
    addHeader(QtHttp::CONNECTION, QByteArrayLiteral("Keep-Alive"));
}

void QtHttpRequest::addHeader(const QByteArray &header, const QByteArray &value)
{
    const QByteArray name = header.trimmed();
    if (!name.isEmpty())
        m_headersHash.insert(name, value);
}
