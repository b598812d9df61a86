#include "QtHttpReply.h"

#include "QtHttpConstants.h"
#include "QtHttpServer.h"

#include <QDateTime>
#include <QLocale>

QtHttpReply::QtHttpReply(QtHttpServer *parent)
    : QObject(parent)
{
    addHeader(QtHttp::DATE, parent ? parent->getCurrentDate() : formatDate(QDateTime::currentDateTimeUtc()));
    const QString serverName = parent ? parent->getServerName() : QString::fromLatin1(QtHttp::DEFAULT_SERVER_NAME);
    addHeader(QtHttp::SERVER, serverName.toUtf8());
}

QByteArray QtHttpReply::formatDate(const QDateTime &utc)
{
    return QLocale::c().toString(utc, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss t")).toUtf8();
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
