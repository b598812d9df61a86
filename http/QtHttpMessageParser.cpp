#include "QtHttpMessageParser.h"

#include <algorithm>
#include <utility>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool is(const QByteArray &name, const char *expected)
{
    return name.compare(expected, Qt::CaseInsensitive) == 0;
}

// A length with more digits than this is beyond any bound we keep.
constexpr int MaxLengthDigits = 15;
constexpr qint64 Unbounded = Q_INT64_C(1) << 62;

} // namespace

QtHttpMessageParser::QtHttpMessageParser(Kind kind)
    : QtHttpMessageParser(kind, Limits())
{
}

QtHttpMessageParser::QtHttpMessageParser(Kind kind, const Limits &limits)
    : m_kind(kind)
    , m_limits(limits)
{
}

qint64 QtHttpMessageParser::parseLength(const QByteArray &value)
{
    if (value.isEmpty())
        return -1;
    for (char c : value) {
        if (!isDigit(c))
            return -1;
    }
    int first = 0;
    while (first < value.size() - 1 && value.at(first) == '0')
        ++first;
    if (value.size() - first > MaxLengthDigits)
        return Unbounded;
    return value.mid(first).toLongLong();
}

// RFC 9110 tchar: the letters, digits and !#$%&'*+-.^_`|~
bool QtHttpMessageParser::isToken(const QByteArray &text)
{
    static const QByteArray symbols = QByteArrayLiteral("!#$%&'*+-.^_`|~");
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !isDigit(c) && !symbols.contains(c))
            return false;
    }
    return true;
}

void QtHttpMessageParser::feed(const QByteArray &bytes)
{
    if (m_pos == m_buffer.size()) {
        // Nothing left over: the new bytes become the buffer, uncopied.
        m_buffer = bytes;
    } else {
        m_buffer.remove(0, m_pos);
        m_buffer.append(bytes);
    }
    m_pos = 0;
}

QtHttpMessageParser::Status QtHttpMessageParser::parse()
{
    while (m_status == Status::NeedMore && step()) {
    }
    return m_status;
}

QtHttpMessageParser::Status QtHttpMessageParser::finishInput()
{
    if (m_status != Status::NeedMore)
        return m_status;
    if (m_stage == Stage::BodyUntilClose)
        complete();
    else if (isStarted())
        fail(Error::Truncated, QStringLiteral("the input ended inside a message"));
    return m_status;
}

QtHttpMessageParser::Message QtHttpMessageParser::takeMessage()
{
    if (m_status != Status::Complete)
        return Message();
    m_status = Status::NeedMore;
    m_stage = Stage::StartLine;
    m_headBytes = 0;
    m_headerLines = 0;
    m_chunked = false;
    return std::exchange(m_message, Message());
}

void QtHttpMessageParser::reset()
{
    m_status = Status::NeedMore;
    m_error = Error::None;
    m_stage = Stage::StartLine;
    m_buffer.clear();
    m_pos = 0;
    m_headBytes = 0;
    m_headerLines = 0;
    m_chunked = false;
    m_errorLine.clear();
    m_errorDetail.clear();
    m_message = Message();
}

bool QtHttpMessageParser::isStarted() const
{
    return m_stage != Stage::StartLine || hasUnparsedInput();
}

bool QtHttpMessageParser::isReadingBody() const
{
    return m_stage == Stage::Body || m_stage == Stage::BodyUntilClose || m_stage == Stage::ChunkSize
        || m_stage == Stage::ChunkData || m_stage == Stage::ChunkEnd;
}

// One step of the message; false once more input is needed or the message
// has ended one way or the other.
bool QtHttpMessageParser::step()
{
    QByteArray line;
    switch (m_stage) {
    case Stage::StartLine:
        if (!takeLine(&line))
            return false;
        startLine(line);
        return true;
    case Stage::Headers:
        if (!takeLine(&line))
            return false;
        if (line.isEmpty())
            endOfHead();
        else
            headerLine(line);
        return true;
    case Stage::ChunkSize:
        if (!takeLine(&line))
            return false;
        chunkSize(line);
        return true;
    case Stage::ChunkEnd:
        if (!takeLine(&line))
            return false;
        if (line.isEmpty())
            m_stage = Stage::ChunkSize;
        else
            fail(Error::Malformed, QStringLiteral("no line end after a chunk"));
        return true;
    case Stage::Trailers:
        if (!takeLine(&line))
            return false;
        if (line.isEmpty()) {
            complete();
        } else if (++m_headerLines > m_limits.maxHeaderLines) {
            fail(Error::TooLarge, QStringLiteral("more than %1 header lines").arg(m_limits.maxHeaderLines));
        } else if (line.indexOf(':') <= 0) {
            fail(Error::Malformed, QStringLiteral("a malformed trailer line"));
        }
        return true;
    case Stage::Body:
    case Stage::ChunkData:
    case Stage::BodyUntilClose:
        return takeBody();
    case Stage::Done:
        return false;
    }
    return false;
}

// The next line without its terminator, once its line feed is there. Lines
// of the head also count against the head's bound, and may hold neither a
// carriage return nor a NUL byte.
bool QtHttpMessageParser::takeLine(QByteArray *line)
{
    const bool inHead = m_stage == Stage::StartLine || m_stage == Stage::Headers || m_stage == Stage::Trailers;
    const int lineFeed = m_buffer.indexOf('\n', m_pos);
    const int end = lineFeed < 0 ? m_buffer.size() : lineFeed;
    const int length = end - m_pos - (end > m_pos && m_buffer.at(end - 1) == '\r' ? 1 : 0);
    const int taken = lineFeed < 0 ? m_buffer.size() - m_pos : lineFeed + 1 - m_pos;
    if (length > m_limits.maxLineBytes) {
        fail(Error::TooLarge, QStringLiteral("a line longer than %1 bytes").arg(m_limits.maxLineBytes));
        return false;
    }
    if (inHead && m_headBytes + taken > m_limits.maxHeadBytes) {
        fail(Error::TooLarge, QStringLiteral("a head larger than %1 bytes").arg(m_limits.maxHeadBytes));
        return false;
    }
    if (lineFeed < 0)
        return false;
    *line = m_buffer.mid(m_pos, length);
    m_pos = lineFeed + 1;
    if (inHead)
        m_headBytes += taken;
    if (line->contains('\r') || line->contains('\0')) {
        fail(Error::Malformed, QStringLiteral("a carriage return or NUL byte in a line"));
        return false;
    }
    return true;
}

void QtHttpMessageParser::startLine(const QByteArray &line)
{
    if (m_kind == Kind::Request)
        requestLine(line);
    else
        statusLine(line);
}

// "METHOD TARGET HTTP/1.1"; runs of spaces separate like one.
void QtHttpMessageParser::requestLine(const QByteArray &line)
{
    QList<QByteArray> parts = line.trimmed().split(' ');
    parts.removeAll(QByteArray());
    if (parts.size() != 3 || parts.at(2) != "HTTP/1.1") {
        fail(Error::Malformed, QStringLiteral("a malformed request line"));
        return;
    }
    m_message.method = parts.at(0);
    m_message.target = parts.at(1);
    m_stage = Stage::Headers;
}

// "HTTP/1.x SSS reason", the reason phrase optional.
void QtHttpMessageParser::statusLine(const QByteArray &line)
{
    const bool shaped = line.size() >= 12 && line.startsWith("HTTP/1.") && isDigit(line.at(7)) && line.at(8) == ' '
        && isDigit(line.at(9)) && isDigit(line.at(10)) && isDigit(line.at(11))
        && (line.size() == 12 || line.at(12) == ' ');
    const int status = shaped ? line.mid(9, 3).toInt() : 0;
    if (status < 100) {
        fail(Error::Malformed, QStringLiteral("a malformed status line"));
        return;
    }
    m_message.status = status;
    m_message.reason = line.mid(13).trimmed();
    m_message.http10 = line.at(7) == '0';
    m_message.keepAlive = !m_message.http10;
    m_stage = Stage::Headers;
}

void QtHttpMessageParser::headerLine(const QByteArray &line)
{
    if (++m_headerLines > m_limits.maxHeaderLines) {
        fail(Error::TooLarge, QStringLiteral("more than %1 header lines").arg(m_limits.maxHeaderLines));
        return;
    }
    // A line that starts blank continues the one before: a folding that
    // readers disagree on, so it is refused.
    if (isBlank(line.at(0))) {
        fail(Error::Malformed, QStringLiteral("a folded header line"));
        return;
    }
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        m_errorLine = line.trimmed();
        fail(Error::BadHeader, QStringLiteral("a header line without a name"));
        return;
    }
    const QByteArray name = line.left(colon);
    if (!isToken(name)) {
        fail(Error::Malformed, QStringLiteral("a malformed header name"));
        return;
    }
    const QByteArray value = line.mid(colon + 1).trimmed();
    m_message.headers.append(Header(name, value));
    frameHeader(name, value);
}

void QtHttpMessageParser::frameHeader(const QByteArray &name, const QByteArray &value)
{
    if (is(name, "Content-Length")) {
        const qint64 length = parseLength(value);
        if (length < 0 || (m_message.contentLength >= 0 && m_message.contentLength != length))
            fail(Error::BadLength, QStringLiteral("a malformed Content-Length"));
        else
            m_message.contentLength = length;
    } else if (is(name, "Transfer-Encoding")) {
        // Only a response may be chunked, and only once.
        if (m_kind == Kind::Request || !is(value, "chunked"))
            fail(Error::Unsupported, QStringLiteral("an unsupported Transfer-Encoding"));
        else if (m_chunked)
            fail(Error::BadLength, QStringLiteral("two Transfer-Encoding headers"));
        m_chunked = true;
    } else if (is(name, "Connection")) {
        for (const QByteArray &option : value.split(',')) {
            const QByteArray token = option.trimmed();
            if (is(token, "close"))
                m_message.keepAlive = false;
            else if (is(token, "keep-alive"))
                m_message.keepAlive = true;
        }
    }
}

void QtHttpMessageParser::endOfHead()
{
    const int status = m_message.status;
    if (m_kind == Kind::Response && status / 100 == 1) {
        // An interim answer: the real one follows.
        m_message = Message();
        m_headBytes = 0;
        m_headerLines = 0;
        m_chunked = false;
        m_stage = Stage::StartLine;
        return;
    }
    if (m_chunked && m_message.contentLength >= 0) {
        fail(Error::BadLength, QStringLiteral("both Content-Length and Transfer-Encoding"));
        return;
    }
    if (m_chunked) {
        m_stage = Stage::ChunkSize;
        return;
    }
    const bool noBody = m_kind == Kind::Response && (status == 204 || status == 304);
    if (m_kind == Kind::Response && !noBody && m_message.contentLength < 0) {
        m_message.keepAlive = false;
        m_stage = Stage::BodyUntilClose;
        return;
    }
    const qint64 length = noBody ? 0 : qMax<qint64>(m_message.contentLength, 0);
    if (length > m_limits.maxBodyBytes) {
        fail(Error::TooLarge, QStringLiteral("a body larger than %1 bytes").arg(m_limits.maxBodyBytes));
    } else if (length == 0) {
        complete();
    } else {
        // A response's length is taken at its word; a request's body grows
        // only as its bytes arrive, so that a length alone costs nothing.
        if (m_kind == Kind::Response)
            m_message.body.reserve(int(length));
        m_remaining = length;
        m_stage = Stage::Body;
    }
}

// "SIZE[;extensions]", the size in hex.
void QtHttpMessageParser::chunkSize(const QByteArray &line)
{
    // mid() with a length of -1 (no extension) takes the whole line.
    const QByteArray digits = line.mid(0, line.indexOf(';')).trimmed();
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), isHexDigit)) {
        fail(Error::Malformed, QStringLiteral("a malformed chunk size"));
        return;
    }
    const qint64 size = digits.size() > MaxLengthDigits ? Unbounded : digits.toLongLong(nullptr, 16);
    if (size == 0) {
        m_stage = Stage::Trailers;
        m_headerLines = 0;
    } else if (m_message.body.size() + size > m_limits.maxBodyBytes) {
        fail(Error::TooLarge, QStringLiteral("a body larger than %1 bytes").arg(m_limits.maxBodyBytes));
    } else {
        m_remaining = size;
        m_stage = Stage::ChunkData;
    }
}

bool QtHttpMessageParser::takeBody()
{
    const qint64 available = m_buffer.size() - m_pos;
    if (available == 0)
        return false;
    if (m_stage == Stage::BodyUntilClose) {
        if (m_message.body.size() + available > m_limits.maxBodyBytes) {
            fail(Error::TooLarge, QStringLiteral("a body larger than %1 bytes").arg(m_limits.maxBodyBytes));
            return false;
        }
        m_message.body.append(m_buffer.constData() + m_pos, int(available));
        m_pos = m_buffer.size();
        return false;
    }
    const int length = int(qMin(available, m_remaining));
    m_message.body.append(m_buffer.constData() + m_pos, length);
    m_pos += length;
    m_remaining -= length;
    if (m_remaining > 0)
        return false;
    if (m_stage == Stage::ChunkData)
        m_stage = Stage::ChunkEnd;
    else
        complete();
    return true;
}

void QtHttpMessageParser::complete()
{
    m_status = Status::Complete;
    m_stage = Stage::Done;
}

void QtHttpMessageParser::fail(Error error, const QString &detail)
{
    m_errorDetail = detail;
    m_status = Status::Error;
    m_error = error;
    m_stage = Stage::Done;
}
