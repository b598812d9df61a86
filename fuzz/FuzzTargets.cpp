#include "FuzzTargets.h"

#include "AlarmPage.h"
#include "CommandManager.h"
#include "Config.h"
#include "OutputsRequest.h"
#include "QtHttpMessageParser.h"
#include "QtHttpRequest.h"
#include "QtHttpRequestParser.h"
#include "SessionCookie.h"
#include "User.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <memory>

namespace {

// Cuts bytes into pieces of 1 to (seed % 64) + 1 bytes, their lengths drawn
// from a linear congruential sequence started at the seed; seed 0 feeds the
// bytes one at a time.
QList<QByteArray> cut(const QByteArray &bytes, quint8 seed)
{
    const quint32 longest = 1 + seed % 64;
    quint32 state = seed;
    QList<QByteArray> pieces;
    for (int pos = 0; pos < bytes.size();) {
        state = state * 1103515245u + 12345u;
        const int length = int(1 + (state >> 16) % longest);
        pieces.append(bytes.mid(pos, length));
        pos += length;
    }
    return pieces;
}

QByteArray describe(const QtHttpRequest &request)
{
    QByteArray text = request.getCommand().toUtf8() + ' ' + request.getUrl().toEncoded() + '\n';
    QList<QByteArray> names = request.getHeadersList();
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : qAsConst(names))
        text += name + ": " + request.getHeader(name) + '\n';
    return text + '\n' + request.getRawData();
}

// What a parser makes of the pieces: every request it completes, then the
// state it ends in.
QList<QByteArray> parse(const QList<QByteArray> &pieces)
{
    QtHttpRequestParser parser;
    QList<QByteArray> trace;
    for (const QByteArray &piece : pieces) {
        parser.feed(piece);
        while (parser.parse() == QtHttpRequestParser::RequestParsed) {
            const std::unique_ptr<QtHttpRequest> request(parser.takeRequest());
            trace.append(describe(*request));
        }
        if (parser.getStatus() == QtHttpRequestParser::ParsingError)
            break;
    }
    trace.append("status " + QByteArray::number(parser.getStatus())
                 + " error " + QByteArray::number(int(parser.getError())));
    return trace;
}

QByteArray describe(const QtHttpMessageParser::Message &response)
{
    QByteArray text = QByteArray::number(response.status) + ' ' + response.reason
        + (response.keepAlive ? " keep-alive\n" : " close\n");
    for (const QtHttpMessageParser::Header &header : response.headers)
        text += header.first + ": " + header.second + '\n';
    return text + '\n' + response.body;
}

// What a response reader makes of the pieces and then the end of the input:
// every response it completes, then the state it ends in. Each body is
// within the reader's bound.
QList<QByteArray> readResponses(const QList<QByteArray> &pieces, bool *withinBounds)
{
    QtHttpMessageParser reader(QtHttpMessageParser::Kind::Response);
    QList<QByteArray> trace;
    const auto takeAll = [&](QtHttpMessageParser::Status status) {
        for (; status == QtHttpMessageParser::Status::Complete; status = reader.parse()) {
            const QtHttpMessageParser::Message response = reader.takeMessage();
            *withinBounds = *withinBounds && response.body.size() <= reader.limits().maxBodyBytes;
            trace.append(describe(response));
        }
    };
    for (const QByteArray &piece : pieces) {
        reader.feed(piece);
        takeAll(reader.parse());
        if (reader.status() == QtHttpMessageParser::Status::Error)
            break;
    }
    takeAll(reader.finishInput());
    trace.append("status " + QByteArray::number(int(reader.status())) + " error "
                 + QByteArray::number(int(reader.error())));
    return trace;
}

CommandManager *sessionUnderTest()
{
    static CommandManager *const manager = [] {
        Config *config = Config::instance();
        config->id = QStringLiteral("site-1");
        config->ioPath = QStringLiteral("html");
        config->eventPort = 8087;
        DVRInfo dvr;
        dvr.id = 3;
        dvr.name = QStringLiteral("North");
        config->dvrs.insert(dvr.id, dvr);
        IOInfo io;
        io.id = 5;
        io.name = QStringLiteral("Lobby");
        io.dvrId = dvr.id;
        config->ios.insert(io.id, io);
        // Goes with the application, before the process-wide stores do.
        return new CommandManager(QCoreApplication::instance());
    }();
    return manager;
}

} // namespace

const QList<FuzzTargets::Target> &FuzzTargets::all()
{
    static const QList<Target> targets = {
        {"http_request", &FuzzTargets::httpRequest},
        {"http_response", &FuzzTargets::httpResponse},
        {"alarm_page", &FuzzTargets::alarmPage},
        {"outputs_request", &FuzzTargets::outputsRequest},
        {"command_session", &FuzzTargets::commandSession},
        {"session_cookie", &FuzzTargets::sessionCookie},
    };
    return targets;
}

FuzzTargets::Entry FuzzTargets::find(const QByteArray &name)
{
    for (const Target &target : all()) {
        if (name == target.name)
            return target.entry;
    }
    return nullptr;
}

bool FuzzTargets::httpRequest(const QByteArray &input)
{
    if (input.isEmpty())
        return true;
    const QByteArray stream = input.mid(1);
    return parse({stream}) == parse(cut(stream, quint8(input.at(0))));
}

bool FuzzTargets::httpResponse(const QByteArray &input)
{
    if (input.isEmpty())
        return true;
    const QByteArray stream = input.mid(1);
    bool withinBounds = true;
    const bool same = readResponses({stream}, &withinBounds) == readResponses(cut(stream, quint8(input.at(0))), &withinBounds);
    return same && withinBounds;
}

bool FuzzTargets::alarmPage(const QByteArray &input)
{
    AlarmPage::parse(input);
    return true;
}

bool FuzzTargets::sessionCookie(const QByteArray &input)
{
    const SessionCookie cookies(QByteArray(SessionCookie::KeyBytes, 'k'));
    const qint64 now = 1800000000;
    // Bytes that are not ours never make a session...
    if (cookies.parse(input, now))
        return false;
    // ...while a session issued for a name made of them always comes back whole.
    const QString name = QString::fromLatin1(input.left(64));
    if (!User::isValidName(name))
        return true;
    const std::optional<SessionCookie::Session> session = cookies.parse(cookies.issue(name, input.toHex().left(16), now), now);
    return session && session->user == name && session->stamp == input.toHex().left(16) && session->issued == now;
}

bool FuzzTargets::outputsRequest(const QByteArray &input)
{
    OutputsRequest::parse(QString::fromUtf8(input));
    return true;
}

bool FuzzTargets::commandSession(const QByteArray &input)
{
    return QMetaObject::invokeMethod(sessionUnderTest(), "handleTopicMessage", Qt::DirectConnection,
                                     Q_ARG(QByteArray, QByteArrayLiteral("services")),
                                     Q_ARG(QByteArray, input));
}
