#include "QtHttpRequestParser.h"

#include "QtHttpConstants.h"
#include "QtHttpRequest.h"

#include <QDebug>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

// The declared body length; a number too large for an int counts as too large.
qint64 declaredLength(const QByteArray &value)
{
    bool ok = false;
    const int length = value.toInt(&ok);
    if (ok)
        return length;
    const bool digitsOnly = !value.isEmpty()
        && std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; });
    return digitsOnly ? qint64(QtHttp::MAX_BODY_SIZE) + 1 : 0;
}

} // namespace

QtHttpRequestParser::QtHttpRequestParser(QtHttpClientWrapper *client, QtHttpServer *server)
    : m_client(client)
    , m_server(server)
{
}

QtHttpRequestParser::~QtHttpRequestParser() = default;

void QtHttpRequestParser::feed(const QByteArray &bytes)
{
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(bytes);
}

QtHttpRequestParser::ParsingStatus QtHttpRequestParser::parse()
{
    while (m_status != ParsingError && m_status != RequestParsed) {
        if (m_status == AwaitingContent) {
            if (m_pos == m_buffer.size())
                break;
            takeContent();
            continue;
        }
        QByteArray line;
        if (!takeLine(&line))
            break;
        if (m_status == AwaitingRequest)
            parseRequestLine(line);
        else
            parseHeaderLine(line);
    }
    return m_status;
}

QtHttpRequest *QtHttpRequestParser::takeRequest()
{
    if (m_status != RequestParsed)
        return nullptr;
    m_status = AwaitingRequest;
    return m_request.release();
}

void QtHttpRequestParser::reset()
{
    m_status = AwaitingRequest;
    m_error = Error::None;
    m_buffer.clear();
    m_pos = 0;
    m_request.reset();
}

bool QtHttpRequestParser::isRequestStarted() const
{
    return m_status != AwaitingRequest || m_pos < m_buffer.size();
}

// Takes the next line, its terminator included, once its line feed is there.
bool QtHttpRequestParser::takeLine(QByteArray *line)
{
    const int lineFeed = m_buffer.indexOf('\n', m_pos);
    const int end = lineFeed < 0 ? m_buffer.size() : lineFeed;
    const int length = end - m_pos - (end > m_pos && m_buffer.at(end - 1) == '\r' ? 1 : 0);
    if (length > QtHttp::MAX_LINE_LENGTH) {
        fail(Error::TooLarge);
        return false;
    }
    if (lineFeed < 0)
        return false;
    *line = m_buffer.mid(m_pos, lineFeed + 1 - m_pos);
    m_pos = lineFeed + 1;
    return true;
}

void QtHttpRequestParser::takeContent()
{
    const int length = qMin(m_contentLeft, m_buffer.size() - m_pos);
    m_request->appendRawData(m_buffer.mid(m_pos, length));
    m_pos += length;
    m_contentLeft -= length;
    if (m_contentLeft == 0)
        m_status = RequestParsed;
}

void QtHttpRequestParser::parseRequestLine(const QByteArray &line)
{
    const QStringList parts = QString::fromUtf8(line).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 3 || parts.at(2) != QLatin1String(QtHttp::HTTP_VERSION)) {
        fail(Error::Malformed);
        return;
    }
    m_request = std::make_unique<QtHttpRequest>(m_client, m_server);
    m_request->setCommand(parts.at(0));
    m_request->setUrl(QUrl(parts.at(1), QUrl::TolerantMode));
    m_headerLines = 0;
    m_status = AwaitingHeaders;
}

void QtHttpRequestParser::parseHeaderLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty()) {
        finishHeaders();
        return;
    }
    if (++m_headerLines > QtHttp::MAX_HEADER_LINES) {
        fail(Error::TooLarge);
        return;
    }
    const int colon = trimmed.indexOf(':');
    if (colon <= 0) {
        qWarning() << "Error : incorrect HTTP headers line :" << trimmed;
        fail(Error::Malformed);
        return;
    }
    const QByteArray name = trimmed.left(colon).trimmed();
    const QByteArray value = trimmed.mid(colon + 1).trimmed();
    m_request->addHeader(name, value);

    bool isNumber = false;
    const int length = value.toInt(&isNumber);
    if (name == QtHttp::CONTENT_LENGTH && isNumber)
        m_request->addHeader(name, QByteArray::number(length));
}

void QtHttpRequestParser::finishHeaders()
{
    const qint64 length = declaredLength(m_request->getHeader(QtHttp::CONTENT_LENGTH));
    if (length > QtHttp::MAX_BODY_SIZE) {
        fail(Error::TooLarge);
    } else if (length > 0) {
        m_contentLeft = int(length);
        m_status = AwaitingContent;
    } else {
        m_status = RequestParsed;
    }
}

void QtHttpRequestParser::fail(Error error)
{
    m_error = error;
    m_status = ParsingError;
}
