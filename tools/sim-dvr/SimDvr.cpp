#include "SimDvr.h"

#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QUrlQuery>

namespace {

constexpr int Unauthorized = 401;

void answer(QtHttpReply *reply, int status, const QByteArray &type, const QByteArray &body)
{
    reply->setStatusCode(QtHttpReply::StatusCode(status));
    reply->addHeader("Content-Type", type);
    reply->addHeader("Cache-Control", "no-cache");
    reply->appendRawData(body);
}

// Header names arrive as the client wrote them.
QByteArray headerValue(const QtHttpRequest *request, const QByteArray &name)
{
    const QByteArray wanted = name.toLower();
    const QList<QByteArray> names = request->getHeadersList();
    for (const QByteArray &candidate : names) {
        if (candidate.toLower() == wanted)
            return request->getHeader(candidate);
    }
    return QByteArray();
}

bool startServer(QtHttpServer *server, quint16 port, QString *error)
{
    QString reason;
    const auto connection = QObject::connect(server, &QtHttpServer::error, [&reason](const QString &msg) { reason = msg; });
    server->start(port);
    QObject::disconnect(connection);
    if (server->getServerPort() != 0 && reason.isEmpty())
        return true;
    *error = QStringLiteral("cannot listen on port %1: %2").arg(port).arg(reason.isEmpty() ? server->getErrorString() : reason);
    return false;
}

} // namespace

SimDvr::SimDvr(const SimDvrOptions &options, QObject *parent)
    : QObject(parent)
    , m_snapshotServer(new QtHttpServer(this))
    , m_ioServer(new QtHttpServer(this))
    , m_renderer(options.size)
    , m_io(options.inputs, options.outputs, options.follows)
    , m_frames(options.channels, 0)
    , m_authorization("Basic " + (options.user + QLatin1Char(':') + options.password).toUtf8().toBase64())
{
    m_snapshotServer->setServerName(QStringLiteral("tavro-sim-dvr"));
    m_ioServer->setServerName(QStringLiteral("tavro-sim-dvr"));
    connect(m_snapshotServer, &QtHttpServer::requestNeedsReply, this, &SimDvr::onSnapshotRequest);
    connect(m_ioServer, &QtHttpServer::requestNeedsReply, this, &SimDvr::onIoRequest);
}

bool SimDvr::start(quint16 port, quint16 ioPort)
{
    return startServer(m_snapshotServer, port, &m_error) && startServer(m_ioServer, ioPort, &m_error);
}

quint16 SimDvr::port() const
{
    return m_snapshotServer->getServerPort();
}

quint16 SimDvr::ioPort() const
{
    return m_ioServer->getServerPort();
}

bool SimDvr::authorize(const QtHttpRequest *request, QtHttpReply *reply) const
{
    if (headerValue(request, "Authorization") == m_authorization)
        return true;
    reply->addHeader("WWW-Authenticate", "Basic realm=\"tavro-sim-dvr\"");
    answer(reply, Unauthorized, "text/plain", "Authentication required");
    return false;
}

// The channel, counted from 1, of a path /snapshotI.jpg, whose index I
// counts from 0 as DVRs number their snapshots; 0 when the path names none.
int SimDvr::snapshotChannel(const QString &path) const
{
    static const QRegularExpression form(QStringLiteral("^/snapshot(0|[1-9]\\d{0,2})\\.jpg$"));
    const QRegularExpressionMatch match = form.match(path);
    if (!match.hasMatch())
        return 0;
    const int channel = match.captured(1).toInt() + 1;
    return channel <= m_frames.size() ? channel : 0;
}

void SimDvr::onSnapshotRequest(QtHttpRequest *request, QtHttpReply *reply)
{
    if (!authorize(request, reply))
        return;
    const int channel = snapshotChannel(request->getUrl().path());
    if (channel == 0) {
        answer(reply, QtHttpReply::NotFound, "text/plain",
               "Try /snapshot0.jpg to /snapshot" + QByteArray::number(m_frames.size() - 1) + ".jpg");
        return;
    }
    const QByteArray jpeg = m_renderer.jpeg(channel, ++m_frames[channel - 1], QDateTime::currentDateTime());
    if (jpeg.isEmpty()) {
        answer(reply, QtHttpReply::InternalError, "text/plain", "JPEG encoding failed");
        return;
    }
    answer(reply, QtHttpReply::Ok, "image/jpeg", jpeg);
}

void SimDvr::onIoRequest(QtHttpRequest *request, QtHttpReply *reply)
{
    if (!authorize(request, reply))
        return;
    const QUrl url = request->getUrl();
    if (url.path() != QLatin1String("/alarm.htm")) {
        answer(reply, QtHttpReply::NotFound, "text/plain", "Try /alarm.htm");
        return;
    }
    const QList<int> changed = m_io.applyQuery(QUrlQuery(url));
    for (int output : changed)
        emit outputChanged(output, m_io.output(output));
    answer(reply, QtHttpReply::Ok, "text/html", m_io.page());
}
