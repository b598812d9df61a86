#include "MetricsText.h"

#include <QList>
#include <QPair>

const char MetricsText::ContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

using Labels = QList<QPair<const char *, QString>>;

// Backslash, double quote and line feed are the only escapes of a label value.
QByteArray labelValue(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 15);
}

double seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

// One metric family: its help and type lines, then one sample per series.
class Family
{
public:
    Family(QByteArray *out, const char *name, const char *type, const char *help)
        : m_out(out)
        , m_name(name)
    {
        *m_out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }

    void sample(double value, const Labels &labels = {})
    {
        *m_out += m_name;
        if (!labels.isEmpty()) {
            *m_out += '{';
            for (int i = 0; i < labels.size(); ++i) {
                if (i > 0)
                    *m_out += ',';
                *m_out += QByteArray(labels.at(i).first) + "=\"" + labelValue(labels.at(i).second) + '"';
            }
            *m_out += '}';
        }
        *m_out += ' ' + number(value) + '\n';
    }

private:
    QByteArray *m_out;
    const char *m_name;
};

Labels channelLabels(const ServiceStatus::Channel &channel)
{
    return {{"dvr_id", QString::number(channel.dvrId)}, {"dvr", channel.dvr}, {"stream", channel.stream},
            {"channel", QString::number(channel.channel)}};
}

Labels moduleLabels(const ServiceStatus::IoModule &module)
{
    return {{"id", QString::number(module.id)}, {"name", module.name}};
}

Labels portLabels(const ServiceStatus::Port &port)
{
    return {{"role", port.role}, {"port", QString::number(port.port)}};
}

void renderService(QByteArray *out, const ServiceStatus &status)
{
    Family(out, "tavro_build_info", "gauge", "The version of the running service.")
        .sample(1, {{"version", status.version}});
    Family(out, "tavro_start_time_seconds", "gauge", "When the service started, in seconds since the epoch.")
        .sample(seconds(status.startedMs));
    Family(out, "tavro_uptime_seconds", "gauge", "How long the service has run.")
        .sample(seconds(status.nowMs - status.startedMs));
}

void renderLink(QByteArray *out, const ServiceStatus::Link &link)
{
    Family(out, "tavro_central_connected", "gauge", "1 while the link to Central is up.").sample(link.connected);
    Family(out, "tavro_central_encrypted", "gauge", "1 when the link to Central is encrypted.").sample(link.encrypted);
    Family(out, "tavro_central_messages_received_total", "counter", "Messages received from Central.")
        .sample(double(link.messages));
    Family(out, "tavro_central_configurations_applied_total", "counter", "Configurations from Central applied.")
        .sample(double(link.configurations));
    if (link.lastMessageMs > 0) {
        Family(out, "tavro_central_last_message_timestamp_seconds", "gauge", "When Central was last heard from.")
            .sample(seconds(link.lastMessageMs));
    }
    if (link.lastConfigurationMs > 0) {
        Family(out, "tavro_central_last_configuration_timestamp_seconds", "gauge",
               "When a configuration from Central was last applied.")
            .sample(seconds(link.lastConfigurationMs));
    }
    Family configured(out, "tavro_configured_items", "gauge", "Items of the configuration in use, by kind.");
    configured.sample(link.dvrs, {{"kind", QStringLiteral("dvr")}});
    configured.sample(link.streams, {{"kind", QStringLiteral("stream")}});
    configured.sample(link.ioModules, {{"kind", QStringLiteral("io_module")}});
    configured.sample(link.doors, {{"kind", QStringLiteral("door")}});
}

void renderChannels(QByteArray *out, const QList<ServiceStatus::Channel> &channels)
{
    if (channels.isEmpty())
        return;
    Family viewers(out, "tavro_channel_viewers", "gauge", "Connections watching the channel.");
    for (const ServiceStatus::Channel &channel : channels)
        viewers.sample(channel.viewers, channelLabels(channel));
    Family frames(out, "tavro_channel_frames_delivered_total", "counter", "Frames written to the channel's viewers.");
    for (const ServiceStatus::Channel &channel : channels)
        frames.sample(double(channel.framesDelivered), channelLabels(channel));
    Family failures(out, "tavro_channel_snapshot_failures_total", "counter", "Snapshot fetches of the channel that failed.");
    for (const ServiceStatus::Channel &channel : channels)
        failures.sample(double(channel.failures), channelLabels(channel));
    Family last(out, "tavro_channel_last_snapshot_timestamp_seconds", "gauge", "When the channel's last good snapshot came.");
    for (const ServiceStatus::Channel &channel : channels) {
        if (channel.lastGoodMs > 0)
            last.sample(seconds(channel.lastGoodMs), channelLabels(channel));
    }
}

void renderIoModules(QByteArray *out, const QList<ServiceStatus::IoModule> &modules)
{
    if (modules.isEmpty())
        return;
    Family polled(out, "tavro_io_module_polled", "gauge", "1 while the IO module is polled.");
    for (const ServiceStatus::IoModule &module : modules)
        polled.sample(module.polled, moduleLabels(module));
    Family queued(out, "tavro_io_module_queued_changes", "gauge", "Output changes waiting for the IO module.");
    for (const ServiceStatus::IoModule &module : modules)
        queued.sample(module.queuedChanges, moduleLabels(module));
    Family last(out, "tavro_io_module_last_read_timestamp_seconds", "gauge", "When the IO module was last read.");
    for (const ServiceStatus::IoModule &module : modules) {
        if (module.lastReadMs > 0)
            last.sample(seconds(module.lastReadMs), moduleLabels(module));
    }
}

void renderPorts(QByteArray *out, const QList<ServiceStatus::Port> &ports)
{
    if (ports.isEmpty())
        return;
    Family connections(out, "tavro_http_connections", "gauge", "Open connections of the port.");
    for (const ServiceStatus::Port &port : ports)
        connections.sample(port.connections, portLabels(port));
    Family refusals(out, "tavro_http_refusals_total", "counter", "Connections and requests the port refused.");
    for (const ServiceStatus::Port &port : ports)
        refusals.sample(double(port.refusals), portLabels(port));
}

} // namespace

QByteArray MetricsText::render(const ServiceStatus &status)
{
    QByteArray out;
    renderService(&out, status);
    renderLink(&out, status.link);
    renderChannels(&out, status.channels);
    renderIoModules(&out, status.ioModules);
    renderPorts(&out, status.ports);
    return out;
}
