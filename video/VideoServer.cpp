#include "VideoServer.h"

#include "Config.h"
#include "HTTPFetcher.h"
#include "MjpegStream.h"
#include "QDaemonLog.h"
#include "QtHttpClientWrapper.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"
#include "StillSnapshot.h"

#include <QFile>
#include <QStringList>
#include <QUrl>

#include <limits>
#include <optional>

#include <dirent.h>
#include <sys/resource.h>

namespace {

// Counted without building a list of names: a site's thousands of ports
// make that list cost milliseconds.
int openDescriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count - 1; // the directory's own
}

// Listening sockets the process can still open and keep the reserve.
int descriptorsToSpare()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    const int open = openDescriptors();
    const qint64 spare = qint64(limit.rlim_cur) - open - VideoServer::DescriptorReserve;
    return int(qBound<qint64>(0, spare, std::numeric_limits<int>::max()));
}

// Names come from Central: they are shown as text, never read as markup.
QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

QString pageOf(const QString &body)
{
    return QStringLiteral("<!DOCTYPE html><html><head><title>%1</title><body>%2</body></html>")
        .arg(QStringLiteral("DVRs"), body);
}

QString dvrListPage(const Config &config)
{
    QString body = QStringLiteral("<h1>List of available DVRs:</h1><ol>");
    for (const DVRInfo &dvr : config.dvrs)
        body += QStringLiteral("<li><a href=\"/%1\">%1</a></li>").arg(escaped(dvr.name));
    return pageOf(body + QStringLiteral("</ol>"));
}

QString streamListPage(const Config &config, const DVRInfo &dvr)
{
    QString body = QStringLiteral("<h1>List of available Streams in %1:</h1><ol>").arg(escaped(dvr.name));
    for (int streamId : config.dvrStreamIds.value(dvr.id)) {
        body += QStringLiteral("<li><a href=\"/%1/%2\">%2</a></li>")
                    .arg(escaped(dvr.name), escaped(config.streams.value(streamId).name));
    }
    return pageOf(body + QStringLiteral("</ol>"));
}

// A bare fragment, without the page frame.
QString channelListPage(const DVRInfo &dvr, const StreamInfo &stream)
{
    QString body = QStringLiteral("<h1>List of Channels in %1:</h1><ol>").arg(escaped(stream.name));
    for (int channel : stream.channels) {
        body += QStringLiteral("<li><a href=\"/%1/%2/%3\">%3</a></li>")
                    .arg(escaped(dvr.name), escaped(stream.name), QString::number(channel));
    }
    return body + QStringLiteral("</ol>");
}

void sendIndex(QtHttpReply *reply, const QString &page)
{
    reply->setStatusCode(QtHttpReply::NotFound);
    reply->appendRawData(page.toLocal8Bit());
}

const QString SnapshotPrefix = QStringLiteral("/.tavro/snapshot/");

// What a path of up to three levels, each a name or a number, names.
struct Resolved
{
    int dvrId = 0;
    std::optional<int> streamId;
    int channel = -1;
};

Resolved resolve(const Config &config, const QStringList &parts)
{
    Resolved resolved;
    const QString dvrName = parts.value(0);
    const QString streamName = parts.value(1);
    resolved.dvrId = config.dvrIdsByName.contains(dvrName) ? config.dvrIdsByName.value(dvrName) : dvrName.toInt();
    if (config.dvrStreamNames.value(resolved.dvrId).contains(streamName))
        resolved.streamId = config.dvrStreamIdsByName.value(resolved.dvrId).value(streamName);
    else if (parts.size() >= 2)
        resolved.streamId = streamName.toInt();
    if (parts.size() >= 3)
        resolved.channel = parts.at(2).toInt();
    return resolved;
}

// Whole, as the DVR gave it: chunked, so that nothing follows its last byte.
void answerJpeg(QtHttpReply *reply, const QByteArray &jpeg)
{
    reply->addHeader("Content-Type", "image/jpeg");
    reply->addHeader("Cache-Control", "no-store");
    reply->addHeader("X-Content-Type-Options", "nosniff");
    reply->setUseChunked(true);
    emit reply->requestSendHeaders();
    reply->appendRawData(jpeg);
    emit reply->requestSendData();
}

void answerText(QtHttpReply *reply, QtHttpReply::StatusCode code, const QByteArray &text)
{
    reply->setStatusCode(code);
    reply->addHeader("Content-Type", "text/plain; charset=utf-8");
    reply->addHeader("X-Content-Type-Options", "nosniff");
    reply->appendRawData(text);
}

} // namespace

VideoServer::VideoServer(QObject *parent)
    : QObject(parent)
    , m_fetchTimeoutMs(HTTPFetcher::DefaultTransferTimeoutMs)
{
    // The resources live in a static library; this keeps them linked in.
    Q_INIT_RESOURCE(tavro);

    QFile loading(QStringLiteral(":/images/loading.jpg"));
    if (loading.open(QIODevice::ReadOnly))
        m_loadingImage = loading.readAll();
    else
        qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Can't read loading.jpg");
}

VideoServer::~VideoServer()
{
    stop();
}

void VideoServer::setServerSettings(const QtHttpServerSettings &settings)
{
    m_serverSettings = settings;
}

void VideoServer::setFetchTimeout(int milliseconds)
{
    m_fetchTimeoutMs = milliseconds;
}

void VideoServer::start()
{
    const VideoConfig config = VideoConfig::fromConfig(*Config::instance());
    apply(config);
    qDaemonLog() << QStringLiteral("void VideoServer::start()");
    qDaemonLog() << QStringLiteral("  Created %1 server!").arg(config.streamCount);
    logUnopenedPorts();
}

// Ports left closed for want of descriptors are tried again at every update.
void VideoServer::update(const VideoConfig &config)
{
    if (config == m_config && m_unopenedPorts == 0)
        return;
    const Changes changes = apply(config);
    if (changes.portsOpened || changes.portsClosed || changes.channelsAdded || changes.channelsMoved
        || changes.channelsRemoved) {
        qDaemonLog() << QStringLiteral("  Video: %1 ports opened, %2 closed; %3 channels added, %4 moved, %5 removed")
                            .arg(changes.portsOpened)
                            .arg(changes.portsClosed)
                            .arg(changes.channelsAdded)
                            .arg(changes.channelsMoved)
                            .arg(changes.channelsRemoved);
    }
    logUnopenedPorts();
}

void VideoServer::logUnopenedPorts() const
{
    if (m_unopenedPorts > 0)
        qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("  Not listening on %1 ports: too few file descriptors").arg(m_unopenedPorts);
}

VideoServer::Changes VideoServer::apply(const VideoConfig &config)
{
    Changes changes;
    for (auto it = m_config.channels.cbegin(); it != m_config.channels.cend(); ++it) {
        const auto next = config.channels.constFind(it.key());
        if (next == config.channels.cend())
            ++changes.channelsRemoved;
        else if (*next != *it)
            ++changes.channelsMoved;
    }
    changes.channelsAdded = config.channels.size() - (m_config.channels.size() - changes.channelsRemoved);

    // Only the channels somebody watched have a stream to move or close.
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        const auto next = config.channels.constFind(it.key());
        if (next != config.channels.cend()) {
            (*it)->setSource(next->source());
            ++it;
            continue;
        }
        (*it)->closeViewers();
        delete *it;
        it = m_streams.erase(it);
    }

    const bool networksChanged = config.allowedNetworks != m_config.allowedNetworks;
    m_config = config;
    QList<quint16> closing;
    for (auto it = m_servers.keyBegin(); it != m_servers.keyEnd(); ++it) {
        if (!m_config.ports.contains(*it))
            closing.append(*it);
    }
    for (quint16 port : qAsConst(closing))
        closePort(port);
    changes.portsClosed = closing.size();
    if (networksChanged) {
        for (QtHttpServer *server : qAsConst(m_servers))
            server->setAllowedNetworks(m_config.allowedNetworks);
    }

    // Counting the open descriptors costs, so only when a port is to open.
    std::optional<int> spare;
    m_unopenedPorts = 0;
    for (quint16 port : qAsConst(m_config.ports)) {
        if (m_servers.contains(port))
            continue;
        if (!spare)
            spare = descriptorsToSpare();
        if ((*spare)-- > 0) {
            openPort(port);
            ++changes.portsOpened;
        } else {
            ++m_unopenedPorts;
        }
    }
    return changes;
}

void VideoServer::openPort(quint16 port)
{
    QtHttpServer *server = m_retired.take(port);
    if (server) {
        // Back in use before its last connection ended.
        disconnect(server, &QtHttpServer::clientDisconnected, this, nullptr);
    } else {
        server = new QtHttpServer(nullptr);
        server->setServerName(QStringLiteral("VideoServer"));
        connect(server, &QtHttpServer::started, this, &VideoServer::onServerStarted);
        connect(server, &QtHttpServer::stopped, this, &VideoServer::onServerStopped);
        connect(server, &QtHttpServer::error, this, &VideoServer::onServerError);
        connect(server, &QtHttpServer::requestNeedsReply, this, &VideoServer::onRequestNeedsReply);
        server->reportRefusals([](const QString &line) { qDaemonLog(QDaemonLog::Priority::Warning) << line; });
        server->apply(m_serverSettings);
        server->setAccessGate(m_accessGate);
    }
    server->setAllowedNetworks(m_config.allowedNetworks);
    m_servers.insert(port, server);
    server->start(port);
}

// Stops listening at once; the server itself goes with its last connection.
void VideoServer::closePort(quint16 port)
{
    QtHttpServer *server = m_servers.take(port);
    if (!server)
        return;
    server->stop();
    if (server->getConnectionCount() == 0) {
        server->disconnect(this);
        delete server;
        return;
    }
    m_retired.insert(port, server);
    connect(server, &QtHttpServer::clientDisconnected, this, [this, port, server] { releaseWhenIdle(port, server); });
}

void VideoServer::releaseWhenIdle(quint16 port, QtHttpServer *server)
{
    if (server->getConnectionCount() > 0 || m_retired.value(port) != server)
        return;
    m_retired.remove(port);
    server->disconnect(this);
    // Inside one of its own signals.
    server->deleteLater();
}

void VideoServer::stop()
{
    // Servers are disconnected before they go, so that nothing they report
    // on the way reaches this object. Their connections go with them, and
    // with those the streams' viewers.
    const QList<QtHttpServer *> servers = m_servers.values() + m_retired.values();
    m_servers.clear();
    m_retired.clear();
    for (QtHttpServer *server : servers) {
        server->stop();
        server->disconnect(this);
        delete server;
    }
    qDeleteAll(m_streams);
    m_streams.clear();
    qDeleteAll(m_stills);
    m_stills.clear();
    m_config = VideoConfig();
}

void VideoServer::onServerStarted(quint16 port)
{
    emit serverStarted(port);
}

void VideoServer::onServerStopped()
{
    emit serverStopped();
}

void VideoServer::onServerError(QString msg)
{
    emit error(msg);
}

void VideoServer::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    const Config &config = *Config::instance();
    const QString path = request->getUrl().path(QUrl::FullyDecoded);
    if (path.startsWith(SnapshotPrefix)) {
        answerSnapshot(request, reply, path.mid(SnapshotPrefix.size()).split(QLatin1Char('/')));
        return;
    }
    const Resolved resolved = resolve(config, path.mid(1).split(QLatin1Char('/')));

    if (!config.dvrs.contains(resolved.dvrId)) {
        sendIndex(reply, dvrListPage(config));
        return;
    }
    const DVRInfo dvr = config.dvrs.value(resolved.dvrId);
    if (!resolved.streamId || !config.dvrStreamIds.value(dvr.id).contains(*resolved.streamId)) {
        sendIndex(reply, streamListPage(config, dvr));
        return;
    }
    const StreamInfo stream = config.streams.value(*resolved.streamId);
    if (!stream.channels.contains(resolved.channel)) {
        sendIndex(reply, channelListPage(dvr, stream));
        return;
    }
    // The stream only chooses which channels are offered; frames come from the DVR channel.
    attachViewer(request, reply, ChannelKey(dvr.id, resolved.channel));
}

// The latest frame of a watched channel; otherwise one fetch, shared by
// whoever asks for the same channel meanwhile.
void VideoServer::answerSnapshot(QtHttpRequest *request, QtHttpReply *reply, const QStringList &parts)
{
    const Config &config = *Config::instance();
    const Resolved resolved = resolve(config, parts);
    const bool named = parts.size() == 3 && resolved.streamId
        && config.dvrStreamIds.value(resolved.dvrId).contains(*resolved.streamId)
        && config.streams.value(*resolved.streamId).channels.contains(resolved.channel);
    const ChannelKey key(resolved.dvrId, resolved.channel);
    const auto source = m_config.channels.constFind(key);
    if (!named || source == m_config.channels.cend()) {
        answerText(reply, QtHttpReply::NotFound, "No such channel\n");
        return;
    }
    const MjpegStream *stream = m_streams.value(key);
    if (stream && stream->viewerCount() > 0 && !stream->lastSnapshot().isEmpty()) {
        answerJpeg(reply, stream->lastSnapshot());
        return;
    }
    StillSnapshot *&still = m_stills[key];
    const bool fresh = !still;
    if (fresh) {
        still = new StillSnapshot(source->source(), m_fetchTimeoutMs, this);
        connect(still, &StillSnapshot::finished, this, [this, key, still] {
            if (m_stills.value(key) == still)
                m_stills.remove(key);
            still->deleteLater();
        });
    }
    if (!still->addWaiter(request->getClientHandle())) {
        answerText(reply, QtHttpReply::ServiceUnavailable, "Too many waiting for this channel\n");
        return;
    }
    reply->setUseBoundary(true);
    if (fresh)
        still->start();
}

void VideoServer::attachViewer(QtHttpRequest *request, QtHttpReply *reply, const ChannelKey &key)
{
    const auto source = m_config.channels.constFind(key);
    if (source == m_config.channels.cend()) {
        // Configured, but not yet applied: there is nothing to poll.
        reply->setStatusCode(QtHttpReply::InternalError);
        return;
    }
    MjpegStream *&stream = m_streams[key];
    if (!stream) {
        stream = new MjpegStream(source->source(), m_loadingImage, this);
        stream->setFetchTimeout(m_fetchTimeoutMs);
        connect(stream, &MjpegStream::viewersChanged, this, &VideoServer::viewersChanged);
    }
    reply->setUseBoundary(true);
    stream->addViewer(request->getClientHandle());
}

void VideoServer::collectStatus(ServiceStatus *status) const
{
    const Config &config = *Config::instance();
    QSet<ChannelKey> listed;
    for (const StreamInfo &info : config.streams) {
        for (int channel : info.channels) {
            const ChannelKey key(info.dvrId, channel);
            if (!m_config.channels.contains(key) || listed.contains(key))
                continue;
            listed.insert(key);
            ServiceStatus::Channel entry;
            entry.dvrId = info.dvrId;
            entry.dvr = config.dvrs.value(info.dvrId).name;
            entry.stream = info.name;
            entry.channel = channel;
            if (const MjpegStream *stream = m_streams.value(key)) {
                entry.viewers = stream->viewerCount();
                entry.framesDelivered = stream->framesDelivered();
                entry.failures = stream->failures();
                entry.lastGoodMs = stream->lastGoodMs();
                entry.lastErrorMs = stream->lastErrorMs();
                entry.lastError = stream->lastError();
                entry.snapshot = stream->lastSnapshot();
            }
            status->channels.append(entry);
        }
    }
    for (auto it = m_servers.cbegin(); it != m_servers.cend(); ++it) {
        ServiceStatus::Port port;
        port.role = QStringLiteral("video");
        port.port = it.key();
        port.connections = (*it)->getConnectionCount();
        port.refusals = (*it)->getRefusalCount();
        status->ports.append(port);
    }
}

int VideoServer::watchedChannelCount() const
{
    int count = 0;
    for (const MjpegStream *stream : m_streams)
        count += stream->viewerCount() > 0 ? 1 : 0;
    return count;
}

int VideoServer::viewerCount() const
{
    int count = 0;
    for (const MjpegStream *stream : m_streams)
        count += stream->viewerCount();
    return count;
}
