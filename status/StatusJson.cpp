#include "StatusJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonValue ageOf(qint64 whenMs, qint64 nowMs)
{
    if (whenMs <= 0)
        return QJsonValue::Null;
    return double(qMax<qint64>(0, nowMs - whenMs)) / 1000.0;
}

QJsonObject linkOf(const ServiceStatus::Link &link, qint64 nowMs)
{
    return {
        {QStringLiteral("encrypted"), link.encrypted},
        {QStringLiteral("connected"), link.connected},
        {QStringLiteral("lastMessageAgeSeconds"), ageOf(link.lastMessageMs, nowMs)},
        {QStringLiteral("messages"), double(link.messages)},
        {QStringLiteral("lastConfigurationAgeSeconds"), ageOf(link.lastConfigurationMs, nowMs)},
        {QStringLiteral("configurations"), double(link.configurations)},
        {QStringLiteral("dvrs"), link.dvrs},
        {QStringLiteral("streams"), link.streams},
        {QStringLiteral("ioModules"), link.ioModules},
        {QStringLiteral("doors"), link.doors},
    };
}

QJsonObject channelOf(const ServiceStatus::Channel &channel, qint64 nowMs)
{
    return {
        {QStringLiteral("dvr"), channel.dvr},
        {QStringLiteral("stream"), channel.stream},
        {QStringLiteral("channel"), channel.channel},
        {QStringLiteral("watched"), channel.viewers > 0},
        {QStringLiteral("viewers"), channel.viewers},
        {QStringLiteral("framesDelivered"), double(channel.framesDelivered)},
        {QStringLiteral("failures"), double(channel.failures)},
        {QStringLiteral("lastSnapshotAgeSeconds"), ageOf(channel.lastGoodMs, nowMs)},
        {QStringLiteral("lastErrorAgeSeconds"), ageOf(channel.lastErrorMs, nowMs)},
        {QStringLiteral("lastError"), channel.lastError},
    };
}

QJsonObject ioModuleOf(const ServiceStatus::IoModule &module, qint64 nowMs)
{
    return {
        {QStringLiteral("id"), module.id},
        {QStringLiteral("name"), module.name},
        {QStringLiteral("polled"), module.polled},
        {QStringLiteral("lastReadAgeSeconds"), ageOf(module.lastReadMs, nowMs)},
        {QStringLiteral("lastErrorAgeSeconds"), ageOf(module.lastErrorMs, nowMs)},
        {QStringLiteral("lastError"), module.lastError},
        {QStringLiteral("queuedChanges"), module.queuedChanges},
    };
}

QJsonObject portOf(const ServiceStatus::Port &port)
{
    return {
        {QStringLiteral("role"), port.role},
        {QStringLiteral("port"), port.port},
        {QStringLiteral("connections"), port.connections},
        {QStringLiteral("refusals"), double(port.refusals)},
    };
}

} // namespace

QByteArray StatusJson::render(const ServiceStatus &status)
{
    QJsonArray channels;
    for (const ServiceStatus::Channel &channel : status.channels)
        channels.append(channelOf(channel, status.nowMs));
    QJsonArray modules;
    for (const ServiceStatus::IoModule &module : status.ioModules)
        modules.append(ioModuleOf(module, status.nowMs));
    QJsonArray ports;
    for (const ServiceStatus::Port &port : status.ports)
        ports.append(portOf(port));
    const QJsonObject root{
        {QStringLiteral("version"), status.version},
        {QStringLiteral("uptimeSeconds"), double(status.nowMs - status.startedMs) / 1000.0},
        {QStringLiteral("central"), linkOf(status.link, status.nowMs)},
        {QStringLiteral("channels"), channels},
        {QStringLiteral("ioModules"), modules},
        {QStringLiteral("ports"), ports},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}
