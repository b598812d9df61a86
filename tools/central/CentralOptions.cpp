#include "CentralOptions.h"

#include "CurveKeyPair.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>

namespace {

constexpr int MinPingIntervalMs = 100;
constexpr int MaxPingIntervalMs = 3600 * 1000;

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 1 || n > 65535)
        return false;
    *port = quint16(n);
    return true;
}

bool parseLayouts(const QStringList &values, QList<LayoutPage> *layouts, QString *bad)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)=(.+)$"));
    for (const QString &value : values) {
        const QRegularExpressionMatch match = form.match(value);
        bool ok = false;
        LayoutPage page;
        page.ioId = match.captured(1).toInt(&ok);
        page.path = match.captured(2);
        if (!match.hasMatch() || !ok) {
            *bad = value;
            return false;
        }
        layouts->append(page);
    }
    return true;
}

} // namespace

QString CentralOptions::publishEndpoint() const
{
    return QStringLiteral("tcp://%1:%2").arg(address).arg(publishPort);
}

QString CentralOptions::pullEndpoint() const
{
    return QStringLiteral("tcp://%1:%2").arg(address).arg(pullPort);
}

CentralOptions::Outcome CentralOptions::parse(const QStringList &arguments, CentralOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A minimal Central for one site. Publishes pings, answers every registration\n"
        "with the site configuration read from a JSON file (and, if asked, with layout\n"
        "pages of IO modules), and prints one line for every packet a service sends."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption site(QStringLiteral("site"), QStringLiteral("Site configuration, JSON (required)."), QStringLiteral("file"));
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Address to bind (default 127.0.0.1)."), QStringLiteral("ip"));
    const QCommandLineOption publishPort(QStringLiteral("publish-port"),
        QStringLiteral("Port that services subscribe to, their serverSendPort (default 5001)."), QStringLiteral("port"));
    const QCommandLineOption pullPort(QStringLiteral("pull-port"),
        QStringLiteral("Port that services push to, their serverRecvPort (default 5002)."), QStringLiteral("port"));
    const QCommandLineOption pingInterval(QStringLiteral("ping-interval"),
        QStringLiteral("Milliseconds between pings (default 2000)."), QStringLiteral("ms"));
    const QCommandLineOption layout(QStringLiteral("layout"),
        QStringLiteral("Send the page in file as the layout of IO module id after every configuration; repeatable."),
        QStringLiteral("id=file"));
    const QCommandLineOption secretKey(QStringLiteral("secret-key"),
        QStringLiteral("Serve the encrypted link with the key pair in file (made by --make-key)."), QStringLiteral("file"));
    const QCommandLineOption makeKey(QStringLiteral("make-key"),
        QStringLiteral("Make a new key pair into file (mode 0600), print its public key and exit."), QStringLiteral("file"));
    const QCommandLineOption allowClient(QStringLiteral("allow-client"),
        QStringLiteral("With --secret-key: let in only the services with these public keys; repeatable."), QStringLiteral("key"));
    const QCommandLineOption allowClients(QStringLiteral("allow-clients"),
        QStringLiteral("Like --allow-client, with the keys read from file, one a line (text after the key is a note)."), QStringLiteral("file"));
    parser.addOptions({help, site, address, publishPort, pullPort, pingInterval, layout,
                       secretKey, makeKey, allowClient, allowClients});

    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return Outcome::Error;
    }
    if (parser.isSet(help)) {
        *message = parser.helpText();
        return Outcome::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *message = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first());
        return Outcome::Error;
    }

    CentralOptions parsed;
    parsed.makeKeyPath = parser.value(makeKey);
    if (!parsed.makeKeyPath.isEmpty()) {
        *options = parsed;
        return Outcome::Run;
    }
    parsed.sitePath = parser.value(site);
    if (parsed.sitePath.isEmpty()) {
        *message = QStringLiteral("--site is required");
        return Outcome::Error;
    }
    const auto fail = [message](const QString &option, const QString &value, const QString &expected) {
        *message = QStringLiteral("Invalid value \"%1\" for --%2: expected %3").arg(value, option, expected);
        return Outcome::Error;
    };
    if (parser.isSet(address)) {
        parsed.address = parser.value(address);
        if (QHostAddress(parsed.address).protocol() != QAbstractSocket::IPv4Protocol)
            return fail(address.names().first(), parsed.address, QStringLiteral("an IPv4 address"));
    }
    if (parser.isSet(publishPort) && !parsePort(parser.value(publishPort), &parsed.publishPort))
        return fail(publishPort.names().first(), parser.value(publishPort), QStringLiteral("a port from 1 to 65535"));
    if (parser.isSet(pullPort) && !parsePort(parser.value(pullPort), &parsed.pullPort))
        return fail(pullPort.names().first(), parser.value(pullPort), QStringLiteral("a port from 1 to 65535"));
    if (parsed.publishPort == parsed.pullPort) {
        *message = QStringLiteral("--publish-port and --pull-port must differ");
        return Outcome::Error;
    }
    if (parser.isSet(pingInterval)) {
        bool ok = false;
        parsed.pingIntervalMs = parser.value(pingInterval).toInt(&ok);
        if (!ok || parsed.pingIntervalMs < MinPingIntervalMs || parsed.pingIntervalMs > MaxPingIntervalMs)
            return fail(pingInterval.names().first(), parser.value(pingInterval), QStringLiteral("milliseconds from 100 to 3600000"));
    }
    QString badLayout;
    if (!parseLayouts(parser.values(layout), &parsed.layouts, &badLayout))
        return fail(layout.names().first(), badLayout, QStringLiteral("id=file, e.g. 1=page.html"));
    parsed.secretKeyPath = parser.value(secretKey);
    parsed.allowedClientsPath = parser.value(allowClients);
    for (const QString &key : parser.values(allowClient)) {
        if (!CurveKeyPair::isKey(key.toLatin1()))
            return fail(allowClient.names().first(), key, QStringLiteral("a public key of 40 characters of Z85 text"));
        parsed.allowedClients.append(key.toLatin1());
    }
    if (parsed.secretKeyPath.isEmpty() && (!parsed.allowedClients.isEmpty() || !parsed.allowedClientsPath.isEmpty())) {
        *message = QStringLiteral("--allow-client and --allow-clients need --secret-key");
        return Outcome::Error;
    }
    *options = parsed;
    return Outcome::Run;
}
