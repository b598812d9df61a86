#include "SimDvrOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

constexpr int MaxChannels = 64;
constexpr int MaxPins = 32;
constexpr int MaxSide = 4096;

bool parseNumber(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < min || n > max)
        return false;
    *value = n;
    return true;
}

bool parsePort(const QString &text, quint16 *port)
{
    int n = 0;
    if (!parseNumber(text, 1, 65535, &n))
        return false;
    *port = quint16(n);
    return true;
}

// "IN:OUT" pairs, or "none" for no wiring at all.
bool parseFollows(const QStringList &values, QMap<int, int> *follows)
{
    follows->clear();
    static const QRegularExpression pair(QStringLiteral("^(\\d+):(\\d+)$"));
    for (const QString &value : values) {
        if (value == QLatin1String("none"))
            continue;
        const QRegularExpressionMatch match = pair.match(value);
        int in = 0;
        int out = 0;
        if (!match.hasMatch() || !parseNumber(match.captured(1), 1, MaxPins, &in)
            || !parseNumber(match.captured(2), 1, MaxPins, &out))
            return false;
        follows->insert(in, out);
    }
    return true;
}

bool parseSize(const QString &text, QSize *size)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)x(\\d+)$"));
    const QRegularExpressionMatch match = form.match(text);
    int width = 0;
    int height = 0;
    if (!match.hasMatch() || !parseNumber(match.captured(1), 64, MaxSide, &width)
        || !parseNumber(match.captured(2), 48, MaxSide, &height))
        return false;
    *size = QSize(width, height);
    return true;
}

} // namespace

SimDvrOptions::Outcome SimDvrOptions::parse(const QStringList &arguments, SimDvrOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated DVR for trying TAVRO without hardware.\n"
        "Serves /snapshot0.jpg for channel 1 to /snapshot<N-1>.jpg for channel N (a freshly\n"
        "drawn JPEG per request) and, on a port of its own,\n"
        "an IO module page /alarm.htm whose outputs are switched with ?gpoN=0|1.\n"
        "Both ports ask for HTTP Basic authentication."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Snapshot port (default 8080)."), QStringLiteral("port"));
    const QCommandLineOption ioPort(QStringLiteral("io-port"), QStringLiteral("IO module port (default 8081)."), QStringLiteral("port"));
    const QCommandLineOption channels(QStringLiteral("channels"), QStringLiteral("Number of cameras, 1 to 64 (default 4)."), QStringLiteral("n"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("User name (default admin)."), QStringLiteral("name"));
    const QCommandLineOption password(QStringLiteral("password"), QStringLiteral("Password (default admin)."), QStringLiteral("password"));
    const QCommandLineOption inputs(QStringLiteral("inputs"), QStringLiteral("IO module inputs, 1 to 32 (default 4)."), QStringLiteral("n"));
    const QCommandLineOption outputs(QStringLiteral("outputs"), QStringLiteral("IO module outputs, 1 to 32 (default 4)."), QStringLiteral("n"));
    const QCommandLineOption follow(QStringLiteral("follow"),
        QStringLiteral("Input IN shows the level of output OUT, like a door contact; repeatable, "
                       "\"none\" for no wiring (default 1:1)."), QStringLiteral("IN:OUT"));
    const QCommandLineOption size(QStringLiteral("size"), QStringLiteral("Picture size (default 640x360)."), QStringLiteral("WxH"));
    parser.addOptions({help, port, ioPort, channels, user, password, inputs, outputs, follow, size});

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

    SimDvrOptions parsed;
    const auto fail = [message](const QString &option, const QString &value, const QString &expected) {
        *message = QStringLiteral("Invalid value \"%1\" for --%2: expected %3").arg(value, option, expected);
        return Outcome::Error;
    };
    if (parser.isSet(port) && !parsePort(parser.value(port), &parsed.port))
        return fail(port.names().first(), parser.value(port), QStringLiteral("a port from 1 to 65535"));
    if (parser.isSet(ioPort) && !parsePort(parser.value(ioPort), &parsed.ioPort))
        return fail(ioPort.names().first(), parser.value(ioPort), QStringLiteral("a port from 1 to 65535"));
    if (parser.isSet(channels) && !parseNumber(parser.value(channels), 1, MaxChannels, &parsed.channels))
        return fail(channels.names().first(), parser.value(channels), QStringLiteral("a number from 1 to 64"));
    if (parser.isSet(inputs) && !parseNumber(parser.value(inputs), 1, MaxPins, &parsed.inputs))
        return fail(inputs.names().first(), parser.value(inputs), QStringLiteral("a number from 1 to 32"));
    if (parser.isSet(outputs) && !parseNumber(parser.value(outputs), 1, MaxPins, &parsed.outputs))
        return fail(outputs.names().first(), parser.value(outputs), QStringLiteral("a number from 1 to 32"));
    if (parser.isSet(follow) && !parseFollows(parser.values(follow), &parsed.follows))
        return fail(follow.names().first(), parser.values(follow).join(QLatin1Char(' ')), QStringLiteral("IN:OUT or none"));
    if (parser.isSet(size) && !parseSize(parser.value(size), &parsed.size))
        return fail(size.names().first(), parser.value(size), QStringLiteral("WxH from 64x48 to 4096x4096"));
    if (parsed.port == parsed.ioPort) {
        *message = QStringLiteral("--port and --io-port must differ");
        return Outcome::Error;
    }
    if (parser.isSet(user))
        parsed.user = parser.value(user);
    if (parser.isSet(password))
        parsed.password = parser.value(password);
    for (auto it = parsed.follows.cbegin(); it != parsed.follows.cend(); ++it) {
        if (it.key() > parsed.inputs || it.value() > parsed.outputs) {
            *message = QStringLiteral("--follow %1:%2 names a pin the module does not have").arg(it.key()).arg(it.value());
            return Outcome::Error;
        }
    }
    *options = parsed;
    return Outcome::Run;
}
