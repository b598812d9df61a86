#ifndef QTHTTPMESSAGEPARSER_H
#define QTHTTPMESSAGEPARSER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Reads HTTP/1.1 messages out of a byte stream, without a socket: feed() the
// bytes as they arrive, then parse() until it asks for more. One reader
// serves both directions: requests (read by the server) and responses (read
// by the fetcher), held to the same rules of framing:
// - a line ends at its line feed; a carriage return elsewhere, a NUL byte,
//   a folded line or white space before a header's colon make the head
//   malformed;
// - Content-Length, Transfer-Encoding and Connection are recognised in any
//   letter case; a Content-Length that is not plain digits, or two that
//   differ, is an error of its own (BadLength), as is a Content-Length beside
//   a Transfer-Encoding;
// - a request with a Transfer-Encoding is Unsupported; a response may be
//   chunked, and without any length it runs until the peer closes.
// Everything it holds is bounded by its Limits.
class QtHttpMessageParser
{
    Q_DISABLE_COPY(QtHttpMessageParser)

public:
    enum class Kind { Request, Response };
    enum class Status { NeedMore, Complete, Error };
    enum class Error {
        None,
        Malformed,   // a start line or header line of the wrong shape
        BadHeader,   // a header line without a name before its colon
        BadLength,   // a Content-Length that cannot frame the body
        TooLarge,    // a line, head or body beyond its bound
        Unsupported, // a transfer coding this side does not read
        Truncated,   // the input ended inside a message
    };

    struct Limits
    {
        int maxLineBytes = 8 * 1024;      // a start, header or chunk-size line, terminator excluded
        int maxHeadBytes = 32 * 1024;     // start line and header lines together, terminators included
        int maxHeaderLines = 100;         // header lines (and trailer lines) of one message
        qint64 maxBodyBytes = 1024 * 1024;
    };

    using Header = QPair<QByteArray, QByteArray>;

    struct Message
    {
        // Requests.
        QByteArray method;
        QByteArray target;
        // Responses.
        int status = 0;
        QByteArray reason;
        bool http10 = false;
        // Both, in arrival order; values trimmed, names as received.
        QList<Header> headers;
        QByteArray body;
        // Content-Length as a number, when one was given.
        qint64 contentLength = -1;
        // False after "Connection: close" (or HTTP/1.0 without keep-alive).
        bool keepAlive = true;
    };

    explicit QtHttpMessageParser(Kind kind);
    QtHttpMessageParser(Kind kind, const Limits &limits);

    void feed(const QByteArray &bytes);
    // Advances until a message is complete, the input is wrong, or more is
    // needed. Complete and Error stay until takeMessage() or reset().
    Status parse();
    // The peer closed: completes a response that runs until the close, and
    // is Truncated inside any other started message.
    Status finishInput();

    // After Complete: the message, and on to the next one.
    Message takeMessage();
    // The message under way: its headers so far.
    const Message &currentMessage() const { return m_message; }
    // Forgets everything buffered and the message under way.
    void reset();

    Status status() const { return m_status; }
    Error error() const { return m_error; }
    // What was wrong, as "a malformed status line".
    QString errorDetail() const { return m_errorDetail; }
    // The header line that made a BadHeader error.
    QByteArray errorLine() const { return m_errorLine; }
    // True from the first byte of a message until it is taken.
    bool isStarted() const;
    bool isReadingHeaders() const { return m_stage == Stage::Headers || m_stage == Stage::Trailers; }
    bool isReadingBody() const;
    // Bytes kept: the buffers' allocations and the head so far.
    qint64 heldBytes() const { return m_headBytes + m_buffer.capacity() + m_message.body.capacity(); }
    bool hasUnparsedInput() const { return m_pos < m_buffer.size(); }

    const Limits &limits() const { return m_limits; }

    // Content-Length value rules: digits only; -1 when it is anything else.
    static qint64 parseLength(const QByteArray &value);
    static bool isToken(const QByteArray &text);

private:
    enum class Stage { StartLine, Headers, Body, BodyUntilClose, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };

    bool takeLine(QByteArray *line);
    bool step();
    void startLine(const QByteArray &line);
    void requestLine(const QByteArray &line);
    void statusLine(const QByteArray &line);
    void headerLine(const QByteArray &line);
    void frameHeader(const QByteArray &name, const QByteArray &value);
    void endOfHead();
    void chunkSize(const QByteArray &line);
    bool takeBody();
    void complete();
    void fail(Error error, const QString &detail);

    Kind m_kind;
    Limits m_limits;
    Status m_status = Status::NeedMore;
    Error m_error = Error::None;
    Stage m_stage = Stage::StartLine;
    QByteArray m_buffer;
    int m_pos = 0; // start of the unparsed bytes in m_buffer
    int m_headBytes = 0;
    int m_headerLines = 0;
    bool m_chunked = false;
    qint64 m_remaining = 0;
    QByteArray m_errorLine;
    QString m_errorDetail;
    Message m_message;
};

#endif // QTHTTPMESSAGEPARSER_H
