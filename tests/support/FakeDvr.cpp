#include "FakeDvr.h"

#include "QtHttpConstants.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QRegularExpression>
#include <QUrl>

FakeDvr::FakeDvr(QObject *parent)
    : QObject(parent)
    , m_server(new QtHttpServer(this))
{
    m_server->setServerName(QStringLiteral("FakeDvr"));
    connect(m_server, &QtHttpServer::requestNeedsReply, this, &FakeDvr::onRequestNeedsReply);
    m_server->start(0);
}

FakeDvr::~FakeDvr() = default;

quint16 FakeDvr::port() const
{
    return m_server->getServerPort();
}

void FakeDvr::setCredentials(const QString &user, const QString &password)
{
    m_expectedAuthorization.clear();
    if (!user.isEmpty() || !password.isEmpty())
        m_expectedAuthorization = "Basic " + QString(user + QLatin1Char(':') + password).toUtf8().toBase64();
}

void FakeDvr::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    const QUrl url = request->getUrl();
    const QString path = url.path();
    m_paths.append(path);
    m_queries.append(url.query(QUrl::FullyEncoded));
    m_lastHeaders.clear();
    for (const QByteArray &name : request->getHeadersList())
        m_lastHeaders.insert(name, request->getHeader(name));
    emit requestReceived(path);

    if (m_mode == Mode::Hang) {
        reply->setUseBoundary(true);
        return;
    }
    if (m_mode == Mode::Fail) {
        reply->setStatusCode(QtHttpReply::StatusCode(m_failStatus));
        reply->appendRawData("failing on purpose");
        return;
    }
    if (!authorized(request)) {
        reply->setStatusCode(QtHttpReply::StatusCode(401));
        reply->addHeader("WWW-Authenticate", "Basic realm=\"FakeDvr\"");
        return;
    }

    static const QRegularExpression snapshotPath(QStringLiteral("^/snapshot\\d+\\.jpg$"));
    if (snapshotPath.match(path).hasMatch()) {
        reply->addHeader("Content-Type", "image/jpeg");
        reply->appendRawData(nextSnapshot(path));
    } else if (path == QLatin1String("/alarm.htm")) {
        reply->addHeader("Content-Type", "text/html");
        reply->appendRawData(m_alarmPage);
    } else {
        reply->setStatusCode(QtHttpReply::NotFound);
    }
}

bool FakeDvr::authorized(const QtHttpRequest *request) const
{
    return m_expectedAuthorization.isEmpty()
        || request->getHeader("Authorization") == m_expectedAuthorization;
}

QByteArray FakeDvr::nextSnapshot(const QString &path)
{
    QByteArray body = "JPEG " + path.toUtf8() + " #" + QByteArray::number(m_snapshots.size() + 1);
    if (body.size() < m_snapshotSize)
        body.append(m_snapshotSize - body.size(), 'x');
    m_snapshots.append(body + QtHttp::CRLF);
    return body;
}
