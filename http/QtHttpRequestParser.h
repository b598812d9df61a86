#ifndef QTHTTPREQUESTPARSER_H
#define QTHTTPREQUESTPARSER_H

#include "QtHttpMessageParser.h"

#include <QByteArray>

class QtHttpClientWrapper;
class QtHttpRequest;
class QtHttpServer;

// Turns the byte stream of one connection into requests, without a socket:
// feed() the bytes as they arrive, then call parse() until it asks for more.
// The framing is the message reader's; this adds the request objects and the
// bounds of QtHttpConstants.h.
class QtHttpRequestParser
{
    Q_DISABLE_COPY(QtHttpRequestParser)

public:
    enum ParsingStatus {
        ParsingError = -1,
        AwaitingRequest = 0,
        AwaitingHeaders = 1,
        AwaitingContent = 2,
        RequestParsed = 3,
    };

    // What went wrong, and so how the connection answers it.
    enum class Error {
        None,
        Malformed,      // a request line or header line of the wrong shape: 400
        TooLarge,       // a line, head or declared body beyond its bound: 400, closed
        BadLength,      // a Content-Length that cannot frame the body: 400, closed
        NotImplemented, // a Transfer-Encoding: 501, closed
    };

    // New requests are made for this connection and server; both may be null.
    explicit QtHttpRequestParser(QtHttpClientWrapper *client = nullptr, QtHttpServer *server = nullptr);

    void feed(const QByteArray &bytes) { m_reader.feed(bytes); }

    // Parses buffered bytes until a request is complete (RequestParsed), the
    // input is wrong (ParsingError), or more bytes are needed
    // (the state waited in). RequestParsed and ParsingError stay until the
    // request is taken or the parser is reset.
    ParsingStatus parse();

    // After RequestParsed: a new request, owned by the caller, and on to the next.
    QtHttpRequest *takeRequest();

    // Forgets the buffered bytes and the request under way, after an error.
    void reset() { m_reader.reset(); }

    ParsingStatus getStatus() const;
    Error getError() const;
    // The request under way asked for the connection to close.
    bool asksToClose() const { return !m_reader.currentMessage().keepAlive; }
    // True from the first byte of a request until the request is taken.
    bool isRequestStarted() const { return m_reader.isStarted(); }
    // Bytes held for the request under way.
    qint64 heldBytes() const { return m_reader.heldBytes(); }

private:
    QtHttpClientWrapper *m_client;
    QtHttpServer *m_server;
    QtHttpMessageParser m_reader;
};

#endif // QTHTTPREQUESTPARSER_H
