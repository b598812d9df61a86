#include "QtHttpRequestParser.h"

#include "QtHttpConstants.h"
#include "QtHttpRequest.h"

#include <QDebug>
#include <QString>
#include <QUrl>

namespace {

// The headers that frame a request go into the table under their usual
// names, whatever case they came in, so that handlers and the connection
// find them where they look; so do those a proxy sets.
QByteArray tableName(const QByteArray &name)
{
    for (const QByteArray &known : {QtHttp::CONTENT_LENGTH, QtHttp::CONNECTION, QtHttp::X_FORWARDED_FOR, QtHttp::X_FORWARDED_PROTO}) {
        if (name.compare(known, Qt::CaseInsensitive) == 0)
            return known;
    }
    return name;
}

// A proxy's header repeated is one list, in the order of its lines.
bool isList(const QByteArray &name)
{
    return name == QtHttp::X_FORWARDED_FOR || name == QtHttp::X_FORWARDED_PROTO;
}

} // namespace

QtHttpRequestParser::QtHttpRequestParser(QtHttpClientWrapper *client, QtHttpServer *server)
    : m_client(client)
    , m_server(server)
    , m_reader(QtHttpMessageParser::Kind::Request,
               {QtHttp::MAX_LINE_LENGTH, QtHttp::MAX_HEAD_SIZE, QtHttp::MAX_HEADER_LINES, QtHttp::MAX_BODY_SIZE})
{
}

QtHttpRequestParser::ParsingStatus QtHttpRequestParser::parse()
{
    const QtHttpMessageParser::Status status = m_reader.parse();
    if (status == QtHttpMessageParser::Status::Error && m_reader.error() == QtHttpMessageParser::Error::BadHeader)
        qWarning() << "Error : incorrect HTTP headers line :" << m_reader.errorLine();
    return getStatus();
}

QtHttpRequestParser::ParsingStatus QtHttpRequestParser::getStatus() const
{
    switch (m_reader.status()) {
    case QtHttpMessageParser::Status::Complete:
        return RequestParsed;
    case QtHttpMessageParser::Status::Error:
        return ParsingError;
    case QtHttpMessageParser::Status::NeedMore:
        break;
    }
    if (m_reader.isReadingBody())
        return AwaitingContent;
    return m_reader.isReadingHeaders() ? AwaitingHeaders : AwaitingRequest;
}

QtHttpRequestParser::Error QtHttpRequestParser::getError() const
{
    switch (m_reader.error()) {
    case QtHttpMessageParser::Error::None:
        return Error::None;
    case QtHttpMessageParser::Error::TooLarge:
        return Error::TooLarge;
    case QtHttpMessageParser::Error::BadLength:
        return Error::BadLength;
    case QtHttpMessageParser::Error::Unsupported:
        return Error::NotImplemented;
    case QtHttpMessageParser::Error::Malformed:
    case QtHttpMessageParser::Error::BadHeader:
    case QtHttpMessageParser::Error::Truncated:
        break;
    }
    return Error::Malformed;
}

QtHttpRequest *QtHttpRequestParser::takeRequest()
{
    if (m_reader.status() != QtHttpMessageParser::Status::Complete)
        return nullptr;
    const QtHttpMessageParser::Message message = m_reader.takeMessage();
    auto *request = new QtHttpRequest(m_client, m_server);
    request->setCommand(QString::fromUtf8(message.method));
    request->setUrl(QUrl(QString::fromUtf8(message.target), QUrl::TolerantMode));
    for (const QtHttpMessageParser::Header &header : message.headers) {
        const QByteArray name = tableName(header.first);
        const QByteArray earlier = isList(name) ? request->getHeader(name) : QByteArray();
        request->addHeader(name, earlier.isEmpty() ? header.second : earlier + ", " + header.second);
    }
    // The length as a plain number: 007 becomes 7.
    if (message.contentLength >= 0)
        request->addHeader(QtHttp::CONTENT_LENGTH, QByteArray::number(message.contentLength));
    request->appendRawData(message.body);
    return request;
}
