#include "QtHttpReply.h"

#include "QtHttpConstants.h"
#include "QtHttpServer.h"

#include <QDateTime>
#include <QLocale>

QtHttpReply::QtHttpReply(QtHttpServer *parent)
    : QObject(parent)
{
    const QString date = QLocale::c().toString(QDateTime::currentDateTimeUtc(),
                                               QStringLiteral("ddd, dd MMM yyyy hh:mm:ss t"));
    addHeader(QtHttp::DATE, date.toUtf8());
    const QString serverName = parent ? parent->getServerName() : QString::fromLatin1(QtHttp::DEFAULT_SERVER_NAME);
    addHeader(QtHttp::SERVER, serverName.toUtf8());
}

void QtHttpReply::addHeader(const QByteArray &header, const QByteArray &value)
{
    const QByteArray name = header.trimmed();
    if (!name.isEmpty())
        m_headersHash.insert(name, value);
}

QByteArray QtHttpReply::getStatusTextForCode(StatusCode statusCode)
{
    switch (statusCode) {
    case Ok:
        return QByteArrayLiteral("OK.");
    case BadRequest:
        return QByteArrayLiteral("Bad request !");
    case Forbidden:
        return QByteArrayLiteral("Forbidden !");
    case NotFound:
        return QByteArrayLiteral("Not found !");
    default:
        return QByteArray();
    }
}
