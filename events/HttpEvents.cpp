#include "HttpEvents.h"

#include "AlarmPage.h"
#include "Config.h"
#include "HTTPFetcher.h"
#include "OutputsRequest.h"
#include "Poller.h"
#include "QDaemonApplication.h"
#include "QDaemonLog.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <cstdlib>
#include <optional>

namespace {

bool isFilePath(const QString &path)
{
    static const char *const suffixes[] = {".html", ".png", ".js", ".css", ".jpg"};
    for (const char *suffix : suffixes) {
        if (path.endsWith(QLatin1String(suffix)))
            return true;
    }
    return false;
}

// The IO module an output-change path names: "/<IO id>", not a file.
std::optional<int> outputModuleOf(const QString &path)
{
    bool isNumber = false;
    const int layout = path.midRef(1).toInt(&isNumber);
    if (isFilePath(path) || !isNumber || !Config::instance()->ioIds.contains(layout))
        return std::nullopt;
    return layout;
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

QString toJson(const QMap<int, int> &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(QString::number(it.key()), it.value());
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QByteArray fileMessage(const QString &path, const char *problem)
{
    return QStringLiteral("Requested file %1 %2 !").arg(path, QLatin1String(problem)).toLocal8Bit();
}

} // namespace

HttpEvents::HttpEvents(QObject *parent)
    : QObject(parent)
    , m_server(new QtHttpServer(this))
{
    m_server->setServerName(QStringLiteral("SimpleServer"));
    connect(m_server, &QtHttpServer::started, this, &HttpEvents::onServerStarted);
    connect(m_server, &QtHttpServer::stopped, this, &HttpEvents::onServerStopped);
    connect(m_server, &QtHttpServer::error, this, &HttpEvents::onServerError);
    connect(m_server, &QtHttpServer::requestNeedsReply, this, &HttpEvents::onRequestNeedsReply);
    m_server->reportRefusals([](const QString &line) { qDaemonLog(QDaemonLog::Priority::Warning) << line; });
}

HttpEvents::~HttpEvents()
{
    releaseModules();
}

void HttpEvents::start()
{
    m_config = EventsConfig::fromConfig(*Config::instance());
    for (auto it = m_config.modules.cbegin(); it != m_config.modules.cend(); ++it)
        m_ioModules.insert(it.key(), IoModuleState());
    m_server->setAllowedNetworks(m_config.allowedNetworks);
    m_server->start(m_config.eventPort);
}

void HttpEvents::update(const EventsConfig &config)
{
    if (config == m_config)
        return;
    int added = 0;
    int moved = 0;
    int removed = 0;
    for (auto it = m_ioModules.begin(); it != m_ioModules.end();) {
        if (config.modules.contains(it.key())) {
            ++it;
            continue;
        }
        if (!it->pendingOutputs.isEmpty()) {
            qDaemonLog(QDaemonLog::Priority::Warning) << QStringLiteral("  Dropped %1 queued output change(s) of removed IO module %2 (%3)")
                                .arg(it->pendingOutputs.size())
                                .arg(it.key())
                                .arg(m_config.modules.value(it.key()).name);
        }
        releaseModule(*it);
        it = m_ioModules.erase(it);
        ++removed;
    }
    for (auto it = config.modules.cbegin(); it != config.modules.cend(); ++it) {
        const auto module = m_ioModules.find(it.key());
        if (module == m_ioModules.end()) {
            m_ioModules.insert(it.key(), IoModuleState());
            ++added;
        } else if (it->page != m_config.modules.value(it.key()).page) {
            // What was read belongs to the board at the old address.
            module->states.clear();
            module->inputs.clear();
            module->outputs.clear();
            module->stateAnswer.clear();
            module->lastReadMs = 0;
            module->lastErrorMs = 0;
            module->lastError.clear();
            if (module->poller)
                module->poller->setSource(it->page);
            if (module->updater)
                module->updater->setCredentials(it->page.user, it->page.password);
            ++moved;
        }
    }

    const quint16 oldPort = m_config.eventPort;
    m_config = config;
    m_server->setAllowedNetworks(m_config.allowedNetworks);
    qDaemonLog() << QStringLiteral("  Events: %1 modules added, %2 moved, %3 removed").arg(added).arg(moved).arg(removed);
    if (m_config.eventPort != oldPort) {
        // Connections on the old port are served until they end.
        m_server->stop();
        m_server->start(m_config.eventPort);
    }
}

void HttpEvents::setServerSettings(const QtHttpServerSettings &settings)
{
    m_server->apply(settings);
}

void HttpEvents::stop()
{
    m_server->stop();
    releaseModules();
    m_config = EventsConfig();
}

// Nothing here is inside one of the module's own signals, so all goes at
// once rather than through thousands of deferred deletions. The fetchers
// are disconnected before their fetches are cancelled: a cancelled fetch
// reports at once.
void HttpEvents::releaseModule(IoModuleState &module)
{
    delete module.poller;
    module.poller = nullptr;
    if (module.updater) {
        module.updater->disconnect(this);
        module.updater->abort();
        delete module.updater;
        module.updater = nullptr;
    }
}

void HttpEvents::releaseModules()
{
    for (IoModuleState &module : m_ioModules)
        releaseModule(module);
    m_ioModules.clear();
}

void HttpEvents::setOutputs(int layout, const QUrl &url)
{
    const auto module = m_ioModules.find(layout);
    if (module == m_ioModules.end())
        return;
    // A missing item reads as an empty value, which is malformed too.
    const std::optional<QMap<int, int>> change =
        OutputsRequest::parse(QUrlQuery(url).queryItemValue(QStringLiteral("outputs")));
    if (!change || module->pendingOutputs.size() >= MaxPendingOutputs)
        return;
    module->pendingOutputs.append(*change);
}

void HttpEvents::setAccessGate(QtHttpAccessGate *gate)
{
    m_server->setAccessGate(gate);
}

bool HttpEvents::isOutputChange(const QtHttpRequest &request)
{
    return outputModuleOf(request.getUrl().path(QUrl::FullyDecoded)).has_value();
}

void HttpEvents::onServerStopped()
{
    emit stopped();
}

void HttpEvents::onServerStarted(quint16 port)
{
    emit started(port);
}

void HttpEvents::onServerError(QString msg)
{
    qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Events server error: %1").arg(msg);
    emit error(msg);
}

void HttpEvents::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    if (m_serviceRoute && m_serviceRoute(*request, reply))
        return;
    const QUrl url = request->getUrl();
    const QString path = url.path(QUrl::FullyDecoded);

    if (isFilePath(path)) {
        replyFile(path, reply);
        return;
    }

    if (const std::optional<int> layout = outputModuleOf(path)) {
        qDaemonLog() << QStringLiteral(" Set event: %1").arg(path);
        setOutputs(*layout, url);
        reply->appendRawData("DONE");
        return;
    }

    if (path == QLatin1String("/read") && QUrlQuery(url).hasQueryItem(QStringLiteral("layout"))) {
        replyState(url, reply);
        return;
    }

    replyLayoutIndex(reply);
}

QString HttpEvents::layoutDirectory() const
{
    return QDaemonApplication::dataDirectory() + QLatin1Char('/') + Config::instance()->ioPath;
}

void HttpEvents::replyFile(const QString &path, QtHttpReply *reply)
{
    qDaemonLog() << QStringLiteral("%1/%2").arg(layoutDirectory(), path);

    // The path is cleaned before it is opened, so that ".." can neither climb
    // out of the layout directory nor step back through a link inside it.
    const QString root = QDir::cleanPath(layoutDirectory());
    const QString fileName = QDir::cleanPath(root + QLatin1Char('/') + path);
    QFile file(fileName);
    if (!fileName.startsWith(root + QLatin1Char('/')) || !file.exists()) {
        reply->addHeader("Content-Type", "text/plain");
        reply->appendRawData(fileMessage(path, "couldn't be found"));
        return;
    }

    const QMimeType mimeType = m_mimeDatabase.mimeTypeForFile(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        reply->addHeader("Content-Type", "text/plain");
        reply->appendRawData(fileMessage(path, "couldn't be open for reading"));
        return;
    }
    reply->addHeader("Content-Type", mimeType.name().toUtf8());
    reply->appendRawData(file.readAll());
}

void HttpEvents::replyState(const QUrl &url, QtHttpReply *reply)
{
    const int layout = QUrlQuery(url).queryItemValue(QStringLiteral("layout")).toInt();
    const auto module = m_ioModules.find(layout);
    if (module == m_ioModules.end()) {
        replyModuleList(reply);
        return;
    }

    if (!module->poller)
        startPolling(layout, *module);

    // Browsers read far more often than the module is polled, so the answer
    // is built once after each poll.
    if (module->stateAnswer.isEmpty()) {
        module->stateAnswer = QStringLiteral("{\"inp\":%1, \"out\":%2, \"state\":%3}")
                                  .arg(toJson(module->inputs), toJson(module->outputs), toJson(module->states))
                                  .toUtf8();
    }
    reply->appendRawData(module->stateAnswer);
}

void HttpEvents::replyModuleList(QtHttpReply *reply) const
{
    QString list = QStringLiteral("Available layouts:\r\n");
    for (const IOInfo &io : Config::instance()->ios)
        list += QStringLiteral("- %1 - %2\r\n").arg(io.id).arg(io.name);
    reply->appendRawData(list.toLocal8Bit());
}

void HttpEvents::replyLayoutIndex(QtHttpReply *reply) const
{
    const Config *config = Config::instance();
    // The modules grouped by DVR, each group in table order, so that the page
    // costs one pass over each table rather than one over the modules per DVR.
    QHash<int, QStringList> moduleNamesByDvr;
    for (const IOInfo &io : config->ios)
        moduleNamesByDvr[io.dvrId].append(io.name);

    QString body = QStringLiteral("<h1>List of Layouts:</h1><ol>");
    for (const DVRInfo &dvr : config->dvrs) {
        for (const QString &moduleName : moduleNamesByDvr.value(dvr.id))
            body += QStringLiteral("<li><a href=\"/%1/%2.html\">/%1/%2</a></li>").arg(escaped(dvr.name), escaped(moduleName));
    }
    body += QStringLiteral("</ol>");
    const QString page = QStringLiteral("<!DOCTYPE html><html><head><title>%1</title><body>%2</body></html>")
                             .arg(QStringLiteral("Index"), body);
    reply->appendRawData(page.toLocal8Bit());
}

void HttpEvents::startPolling(int layout, IoModuleState &module)
{
    module.poller = new Poller(m_config.modules.value(layout).page, PollIntervalMs, PollIntervalMs, this);
    connect(module.poller, &Poller::polled, this, [this, layout](const QByteArray &page) { onPolled(layout, page); });
    connect(module.poller, &Poller::failed, this, [this, layout](const QString &msg) { onPollFailed(layout, msg); });
    module.poller->start();
}

void HttpEvents::onPolled(int layout, const QByteArray &body)
{
    const auto module = m_ioModules.find(layout);
    if (module == m_ioModules.end())
        return;

    module->lastReadMs = QDateTime::currentMSecsSinceEpoch();
    const AlarmPage page = AlarmPage::parse(body);
    // A page that shows no element of a kind keeps the last known map.
    if (!page.inputs.isEmpty())
        module->inputs = page.inputs;
    if (!page.outputs.isEmpty())
        module->outputs = page.outputs;
    if (!page.states.isEmpty())
        module->states = page.states;
    module->stateAnswer.clear();

    submitPendingOutputs(layout, *module);
}

void HttpEvents::onPollFailed(int layout, const QString &msg)
{
    qDaemonLog(QDaemonLog::Priority::Error) << QStringLiteral("Fetching error: %1").arg(msg);
    const auto module = m_ioModules.find(layout);
    if (module == m_ioModules.end())
        return;
    module->lastErrorMs = QDateTime::currentMSecsSinceEpoch();
    module->lastError = msg;
}

void HttpEvents::collectStatus(ServiceStatus *status) const
{
    for (auto it = m_ioModules.cbegin(); it != m_ioModules.cend(); ++it) {
        ServiceStatus::IoModule module;
        module.id = it.key();
        module.name = m_config.modules.value(it.key()).name;
        module.polled = it->poller != nullptr;
        module.lastReadMs = it->lastReadMs;
        module.lastErrorMs = it->lastErrorMs;
        module.lastError = it->lastError;
        module.queuedChanges = it->pendingOutputs.size();
        status->ioModules.append(module);
    }
    if (m_server->getServerPort() == 0)
        return;
    ServiceStatus::Port port;
    port.role = QStringLiteral("events");
    port.port = m_server->getServerPort();
    port.connections = m_server->getConnectionCount();
    port.refusals = m_server->getRefusalCount();
    status->ports.append(port);
}

// Sends the oldest queued change as the module's whole form: the inputs as
// read, and the outputs as read with the change written over them. The
// module's own maps change only when the next read shows its new state.
void HttpEvents::submitPendingOutputs(int layout, IoModuleState &module)
{
    if (module.pendingOutputs.isEmpty())
        return;

    QMap<int, int> merged = module.outputs;
    const QMap<int, int> change = module.pendingOutputs.takeFirst();
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        merged.insert(it.key(), it.value());

    const Poller::Source page = m_config.modules.value(layout).page;
    QString url = page.url + QLatin1Char('?');
    for (auto it = module.inputs.cbegin(); it != module.inputs.cend(); ++it)
        url += QStringLiteral("gpi%1=%2&").arg(it.key()).arg(it.value());
    for (auto it = merged.cbegin(); it != merged.cend(); ++it)
        url += QStringLiteral("gpo%1=%2&").arg(it.key()).arg(it.value());
    // Makes every submission unique, so no cache between here and the module
    // can swallow a repeated one.
    url += QStringLiteral("rdm=%1").arg(std::rand() % 10000);

    qDaemonLog() << QStringLiteral("Updater url: %1").arg(url);
    if (!module.updater) {
        module.updater = new HTTPFetcher(this);
        module.updater->setCredentials(page.user, page.password);
        connect(module.updater, &HTTPFetcher::fetched, this, &HttpEvents::onUpdateCompleted);
        connect(module.updater, &HTTPFetcher::error, this, &HttpEvents::onUpdateError);
    }
    module.updater->setUrl(url);
    module.updater->fetch();
}

void HttpEvents::onUpdateCompleted()
{
    qDebug("onUpdateCompleted");
}

void HttpEvents::onUpdateError(QString msg)
{
    qDebug().noquote().nospace() << "onUpdateError: " << msg;
}
