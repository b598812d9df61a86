#include "StatusPage.h"

#include <QCryptographicHash>
#include <QDateTime>

namespace {

const char Style[] =
    "body{font-family:sans-serif;margin:1em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #ccc;padding:.25em .6em;text-align:left;vertical-align:middle}"
    "th{background:#eee}"
    ".ok{background:#c8efc8}.bad{background:#f6c3c3}.off{background:#e4e4e4;color:#555}"
    ".ok,.bad,.off{white-space:nowrap}"
    "img{width:160px;display:block}";

QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

enum class State { Ok, Bad, Off };

QString cell(State state, const QString &words)
{
    static const char *const classes[] = {"ok", "bad", "off"};
    return QStringLiteral("<td class=\"%1\">%2</td>").arg(QLatin1String(classes[int(state)]), escaped(words));
}

QString td(const QString &text)
{
    return QStringLiteral("<td>%1</td>").arg(escaped(text));
}

QString duration(qint64 ms)
{
    qint64 s = qMax<qint64>(0, ms / 1000);
    if (s < 120)
        return QStringLiteral("%1 s").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min").arg(s / 60);
    if (s < 2 * 86400)
        return QStringLiteral("%1 h").arg(s / 3600);
    return QStringLiteral("%1 days").arg(s / 86400);
}

QString ago(qint64 whenMs, qint64 nowMs)
{
    return whenMs > 0 ? duration(nowMs - whenMs) + QStringLiteral(" ago") : QStringLiteral("never");
}

// The last error, while it is newer than the last success.
QString currentError(qint64 lastErrorMs, qint64 lastGoodMs, const QString &error)
{
    return lastErrorMs > lastGoodMs ? error : QString();
}

QString linkSection(const ServiceStatus &status)
{
    const ServiceStatus::Link &link = status.link;
    return QStringLiteral("<h2>Central</h2><table>"
                          "<tr><th>Link</th>%1</tr>"
                          "<tr><th>Encryption</th>%2</tr>"
                          "<tr><th>Last message</th>%3</tr>"
                          "<tr><th>Last configuration applied</th>%4</tr>"
                          "<tr><th>Configuration</th>%5</tr></table>")
        .arg(link.connected ? cell(State::Ok, QStringLiteral("connected")) : cell(State::Bad, QStringLiteral("down")),
             link.encrypted ? cell(State::Ok, QStringLiteral("encrypted")) : cell(State::Off, QStringLiteral("not encrypted")),
             td(ago(link.lastMessageMs, status.nowMs)), td(ago(link.lastConfigurationMs, status.nowMs)),
             td(QStringLiteral("%1 DVRs, %2 streams, %3 IO modules, %4 doors")
                    .arg(link.dvrs)
                    .arg(link.streams)
                    .arg(link.ioModules)
                    .arg(link.doors)));
}

QString channelState(const ServiceStatus::Channel &channel)
{
    if (channel.viewers == 0)
        return cell(State::Off, QStringLiteral("not watched"));
    if (channel.lastErrorMs > channel.lastGoodMs)
        return cell(State::Bad, QStringLiteral("failing"));
    if (channel.lastGoodMs == 0)
        return cell(State::Off, QStringLiteral("starting"));
    return cell(State::Ok, QStringLiteral("live"));
}

QString pictureOf(const ServiceStatus::Channel &channel, int *budget)
{
    if (channel.viewers == 0 || channel.snapshot.isEmpty() || channel.snapshot.size() > StatusPage::MaxPictureBytes
        || *budget <= 0)
        return QStringLiteral("<td></td>");
    --*budget;
    return QStringLiteral("<td><img alt=\"last snapshot\" src=\"data:image/jpeg;base64,%1\"></td>")
        .arg(QString::fromLatin1(channel.snapshot.toBase64()));
}

QString channelSection(const ServiceStatus &status)
{
    QString rows;
    int pictures = StatusPage::MaxPictures;
    for (const ServiceStatus::Channel &channel : status.channels) {
        rows += QStringLiteral("<tr>") + td(channel.dvr) + td(channel.stream) + td(QString::number(channel.channel))
            + channelState(channel) + td(QString::number(channel.viewers))
            + td(QString::number(channel.framesDelivered)) + td(ago(channel.lastGoodMs, status.nowMs))
            + td(currentError(channel.lastErrorMs, channel.lastGoodMs, channel.lastError))
            + pictureOf(channel, &pictures) + QStringLiteral("</tr>");
    }
    return QStringLiteral("<h2>Video channels</h2><table><tr><th>DVR</th><th>Stream</th><th>Channel</th>"
                          "<th>State</th><th>Viewers</th><th>Frames delivered</th><th>Last good snapshot</th>"
                          "<th>Last error</th><th>Picture</th></tr>%1</table>")
        .arg(rows);
}

QString moduleState(const ServiceStatus::IoModule &module)
{
    if (!module.polled)
        return cell(State::Off, QStringLiteral("not polled"));
    if (module.lastErrorMs > module.lastReadMs)
        return cell(State::Bad, QStringLiteral("failing"));
    if (module.lastReadMs == 0)
        return cell(State::Off, QStringLiteral("starting"));
    return cell(State::Ok, QStringLiteral("read"));
}

QString moduleSection(const ServiceStatus &status)
{
    QString rows;
    for (const ServiceStatus::IoModule &module : status.ioModules) {
        rows += QStringLiteral("<tr>") + td(QString::number(module.id)) + td(module.name) + moduleState(module)
            + td(ago(module.lastReadMs, status.nowMs))
            + td(currentError(module.lastErrorMs, module.lastReadMs, module.lastError))
            + td(QString::number(module.queuedChanges)) + QStringLiteral("</tr>");
    }
    return QStringLiteral("<h2>IO modules</h2><table><tr><th>Id</th><th>Name</th><th>State</th><th>Last good read</th>"
                          "<th>Last error</th><th>Queued changes</th></tr>%1</table>")
        .arg(rows);
}

QString portSection(const ServiceStatus &status)
{
    QString rows;
    for (const ServiceStatus::Port &port : status.ports) {
        rows += QStringLiteral("<tr>") + td(QString::number(port.port)) + td(port.role)
            + td(QString::number(port.connections))
            + (port.refusals > 0 ? cell(State::Bad, QString::number(port.refusals))
                                 : cell(State::Ok, QStringLiteral("0")))
            + QStringLiteral("</tr>");
    }
    return QStringLiteral("<h2>Ports</h2><table><tr><th>Port</th><th>Serves</th><th>Open connections</th>"
                          "<th>Refusals</th></tr>%1</table>")
        .arg(rows);
}

} // namespace

QByteArray StatusPage::contentSecurityPolicy()
{
    static const QByteArray policy = "default-src 'none'; img-src data:; style-src 'sha256-"
        + QCryptographicHash::hash(Style, QCryptographicHash::Sha256).toBase64()
        + "'; frame-ancestors 'self'; base-uri 'none'; form-action 'none'";
    return policy;
}

QByteArray StatusPage::render(const ServiceStatus &status)
{
    const QString head = QStringLiteral(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"%1\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>TAVRO status</title><style>%2</style></head>"
        "<body><h1>TAVRO %3</h1><p>Up %4, since %5. This page refreshes every %1 s.</p>")
        .arg(QString::number(RefreshSeconds), QLatin1String(Style), escaped(status.version),
             duration(status.nowMs - status.startedMs),
             QDateTime::fromMSecsSinceEpoch(status.startedMs).toUTC().toString(Qt::ISODate));
    return (head + linkSection(status) + channelSection(status) + moduleSection(status) + portSection(status)
            + QStringLiteral("</body></html>"))
        .toUtf8();
}
