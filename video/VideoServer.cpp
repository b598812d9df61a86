#include "VideoServer.h"

#include "Config.h"
#include "HTTPFetcher.h"
#include "QDaemonLog.h"
#include "QtHttpClientWrapper.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <limits>
#include <optional>

#include <sys/resource.h>

namespace {

constexpr int FrameIntervalMs = 200;
constexpr int RetryIntervalMs = 1000;
// The loading image goes out at these counted failures of an entry's life.
constexpr int FirstLoadingFailure = 5;
constexpr int LastLoadingFailure = 6;

const char StreamHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n"
    "Content-type: multipart/x-mixed-replace; boundary=endofsection\r\n"
    "\r\n";

// Listening sockets the process can still open and keep the reserve.
int descriptorsToSpare()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    const int open = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    const qint64 spare = qint64(limit.rlim_cur) - open - VideoServer::DescriptorReserve;
    return int(qBound<qint64>(0, spare, std::numeric_limits<int>::max()));
}

QByteArray frameOf(const QByteArray &jpeg)
{
    const QByteArray length = QByteArray::number(jpeg.size());
    QByteArray frame;
    frame.reserve(jpeg.size() + 80);
    frame.append("--endofsection\r\n"
                 "Content-type: image/jpeg\r\n"
                 "Content-Length: ")
        .append(length)
        .append("\r\n\r\n")
        .append(jpeg)
        .append("\r\n");
    return frame;
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
        qDaemonLog() << QStringLiteral("Can't read loading.jpg");
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
    const Config &config = *Config::instance();
    // One entry per stream, duplicates included: the log counts streams.
    QList<quint16> ports;
    ports.reserve(config.streams.size());
    m_servers.reserve(config.streams.size());
    m_dvrChannels.reserve(config.streams.size());
    for (const StreamInfo &stream : config.streams) {
        const DVRInfo dvr = config.dvrs.value(stream.dvrId);
        ports.append(quint16(stream.outPort));
        for (int channel : stream.channels)
            addChannel(dvr, stream, channel);
    }
    int spare = descriptorsToSpare();
    int skipped = 0;
    for (quint16 port : qAsConst(ports)) {
        if (m_servers.contains(port))
            continue;
        if (spare-- > 0)
            createServer(port);
        else
            ++skipped;
    }

    qDaemonLog() << QStringLiteral("void VideoServer::start()");
    qDaemonLog() << QStringLiteral("  Created %1 server!").arg(ports.size());
    if (skipped)
        qDaemonLog() << QStringLiteral("  Not listening on %1 ports: too few file descriptors").arg(skipped);
}

void VideoServer::addChannel(const DVRInfo &dvr, const StreamInfo &stream, int channel)
{
    const ChannelKey key(stream.dvrId, channel);
    if (m_dvrChannels.contains(key))
        return;

    DvrChannel &entry = m_dvrChannels[key];
    entry.url = QStringLiteral("http://%1:%2/snapshot%3.jpg")
                    .arg(dvr.ip, QString::number(stream.inPort), QString::number(channel - 1));
    entry.user = dvr.user;
    entry.password = dvr.pass;
}

// The connections carry the entry's key, so that the handlers find the
// entry without asking the sender.
void VideoServer::createPoller(DvrChannel &entry, const ChannelKey &key)
{
    entry.fetcher = new HTTPFetcher(nullptr);
    entry.fetcher->setCredentials(entry.user, entry.password);
    entry.fetcher->setUrl(entry.url);
    entry.fetcher->setTransferTimeout(m_fetchTimeoutMs);

    entry.timer = new QTimer(nullptr);
    entry.timer->setInterval(FrameIntervalMs);
    entry.timer->setSingleShot(true);

    connect(entry.fetcher, &HTTPFetcher::fetched, this, [this, key] { onFetchCompleted(key); });
    connect(entry.fetcher, &HTTPFetcher::error, this, [this, key] { onFetchError(key); });
    connect(entry.timer, &QTimer::timeout, this, [this, key] { onTimeout(key); });
}

void VideoServer::createServer(quint16 port)
{
    if (m_servers.contains(port))
        return;
    auto *server = new QtHttpServer(nullptr);
    server->setServerName(QStringLiteral("VideoServer"));
    connect(server, &QtHttpServer::started, this, &VideoServer::onServerStarted);
    connect(server, &QtHttpServer::stopped, this, &VideoServer::onServerStopped);
    connect(server, &QtHttpServer::error, this, &VideoServer::onServerError);
    connect(server, &QtHttpServer::clientConnected, this, &VideoServer::onClientConnected);
    connect(server, &QtHttpServer::clientDisconnected, this, &VideoServer::onClientDisconnected);
    connect(server, &QtHttpServer::requestNeedsReply, this, &VideoServer::onRequestNeedsReply);
    connect(server, &QtHttpServer::clientForbidden, this, [port](const QHostAddress &address) {
        qDaemonLog() << QStringLiteral("Refused client %1 on port %2: not in an allowed network").arg(address.toString()).arg(port);
    });
    connect(server, &QtHttpServer::connectionLimitReached, this, [port](int maxConnections) {
        qDaemonLog() << QStringLiteral("Refusing clients on port %1: %2 connections open").arg(port).arg(maxConnections);
    });
    connect(server, &QtHttpServer::addressLimitReached, this, [port](const QHostAddress &address, int maxConnections) {
        qDaemonLog() << QStringLiteral("Refusing client %1 on port %2: %3 connections open from it").arg(address.toString()).arg(port).arg(maxConnections);
    });
    connect(server, &QtHttpServer::memoryBudgetReached, this, [port](qint64 budget) {
        qDaemonLog() << QStringLiteral("Refusing clients on port %1: the memory budget of %2 bytes is spent").arg(port).arg(budget);
    });
    server->setAllowedNetworks(Config::instance()->allowedNetworks);
    server->apply(m_serverSettings);
    server->setAccessGate(m_accessGate);
    m_servers.insert(port, server);
    server->start(port);
}

void VideoServer::stop()
{
    // Servers and fetchers are disconnected before they go, so that nothing
    // they report on the way (aborted fetches above all) reaches the tables
    // being emptied or the connections already released.
    for (QtHttpServer *server : qAsConst(m_servers)) {
        server->stop();
        server->disconnect(this);
        delete server;
    }
    m_servers.clear();
    m_clients.clear();

    // Deleted at once rather than later: none of them is inside one of its
    // own signals here, and thousands of deferred deletions cost the event
    // loop far more than the deletions themselves.
    for (const DvrChannel &entry : qAsConst(m_dvrChannels)) {
        if (!entry.fetcher)
            continue;
        delete entry.timer;
        entry.fetcher->disconnect(this);
        entry.fetcher->abort();
        delete entry.fetcher;
    }
    m_dvrChannels.clear();
    m_clientChannels.clear();
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

void VideoServer::onClientConnected(QString guid)
{
    Q_UNUSED(guid)
}

void VideoServer::onClientDisconnected(QString guid)
{
    QtHttpClientWrapper *client = m_clients.take(guid);
    if (!client)
        return;
    const QSet<ChannelKey> keys = m_clientChannels.take(guid);
    for (const ChannelKey &key : keys) {
        auto it = m_dvrChannels.find(key);
        if (it == m_dvrChannels.end())
            continue;
        it->clients.remove(client);
        // A fetch in flight still completes and then finds the entry idle.
        if (it->clients.isEmpty())
            idle(*it);
    }
}

void VideoServer::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    const Config &config = *Config::instance();

    const QStringList parts = request->getUrl().path(QUrl::FullyDecoded).mid(1).split(QLatin1Char('/'));
    const QString dvrName = parts.value(0);
    const QString streamName = parts.value(1);

    const int dvrId = config.dvrIdsByName.contains(dvrName) ? config.dvrIdsByName.value(dvrName)
                                                            : dvrName.toInt();
    std::optional<int> streamId;
    if (config.dvrStreamNames.value(dvrId).contains(streamName))
        streamId = config.dvrStreamIdsByName.value(dvrId).value(streamName);
    else if (parts.size() >= 2)
        streamId = streamName.toInt();
    const int channel = parts.size() >= 3 ? parts.at(2).toInt() : -1;

    if (!config.dvrs.contains(dvrId)) {
        sendIndex(reply, dvrListPage(config));
        return;
    }
    const DVRInfo dvr = config.dvrs.value(dvrId);
    if (!streamId || !config.dvrStreamIds.value(dvr.id).contains(*streamId)) {
        sendIndex(reply, streamListPage(config, dvr));
        return;
    }
    const StreamInfo stream = config.streams.value(*streamId);
    if (!stream.channels.contains(channel)) {
        sendIndex(reply, channelListPage(dvr, stream));
        return;
    }
    // The stream only chooses which channels are offered; frames come from the DVR channel.
    attachViewer(request, reply, ChannelKey(dvr.id, channel));
}

void VideoServer::attachViewer(QtHttpRequest *request, QtHttpReply *reply, const ChannelKey &key)
{
    auto it = m_dvrChannels.find(key);
    if (it == m_dvrChannels.end()) {
        // Configured after this server started: there is nothing to poll.
        reply->setStatusCode(QtHttpReply::InternalError);
        return;
    }

    QtHttpClientWrapper *client = request->getClientHandle();
    const QString guid = client->getGuid();
    it->clients.insert(client);
    m_clientChannels[guid].insert(key);
    m_clients.insert(guid, client);

    reply->setUseBoundary(true);
    client->sendToClient(QByteArray::fromRawData(StreamHead, sizeof(StreamHead) - 1));

    if (!it->active) {
        it->active = true;
        if (!it->fetcher)
            createPoller(*it, key);
        // A fetch still in flight from before the entry went idle re-arms
        // the timer when it ends; starting it now would overlap two fetches.
        if (!it->fetcher->isFetching())
            it->timer->start(FrameIntervalMs);
    }
}

void VideoServer::onTimeout(const ChannelKey &key)
{
    const auto it = m_dvrChannels.constFind(key);
    if (it != m_dvrChannels.constEnd() && it->active)
        it->fetcher->fetch();
}

void VideoServer::onFetchCompleted(const ChannelKey &key)
{
    auto it = m_dvrChannels.find(key);
    if (it == m_dvrChannels.end())
        return;
    if (it->clients.isEmpty()) {
        idle(*it);
        return;
    }
    sendFrame(*it, it->fetcher->data());
    if (it->active)
        it->timer->start(FrameIntervalMs);
}

void VideoServer::onFetchError(const ChannelKey &key)
{
    auto it = m_dvrChannels.find(key);
    if (it == m_dvrChannels.end()) {
        qDaemonLog() << QStringLiteral("void VideoServer::onFetchError(QString)");
        qDaemonLog() << QStringLiteral("  ERR: m_dvrChannels not found for DVR(%1) channel(%2)?")
                            .arg(key.first)
                            .arg(key.second);
        return;
    }
    if (it->clients.isEmpty()) {
        idle(*it);
        return;
    }
    if (it->active)
        it->timer->start(RetryIntervalMs);
    const int failure = it->errorCount++;
    if (failure >= FirstLoadingFailure && failure <= LastLoadingFailure)
        sendFrame(*it, m_loadingImage);
}

void VideoServer::idle(DvrChannel &entry)
{
    entry.active = false;
    entry.timer->stop();
}

void VideoServer::sendFrame(const DvrChannel &entry, const QByteArray &jpeg)
{
    const QByteArray frame = frameOf(jpeg);
    const qint64 backlogLimit = qint64(MaxQueuedFramesPerViewer) * frame.size();
    // A copy: a failed write can end a connection, and so detach a viewer, at once.
    const QSet<QtHttpClientWrapper *> clients = entry.clients;
    for (QtHttpClientWrapper *client : clients) {
        if (client->getBytesToWrite() <= backlogLimit)
            client->sendToClient(frame);
    }
}
