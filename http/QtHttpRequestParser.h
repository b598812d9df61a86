#ifndef QTHTTPREQUESTPARSER_H
#define QTHTTPREQUESTPARSER_H

#include <QByteArray>

#include <memory>

class QtHttpClientWrapper;
class QtHttpRequest;
class QtHttpServer;

// Turns the byte stream of one connection into requests, without a socket:
// feed() the bytes as they arrive, then call parse() until it asks for more.
// A line is parsed only once its line feed has arrived, a body is taken by its
// declared length (what follows starts the next request), and a line, header
// block or body beyond the bounds of QtHttpConstants.h is an error.
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

    enum class Error {
        None,
        Malformed, // a request line or header line of the wrong shape
        TooLarge,  // a line, header block or declared body beyond its bound
    };

    // New requests are made for this connection and server; both may be null.
    explicit QtHttpRequestParser(QtHttpClientWrapper *client = nullptr, QtHttpServer *server = nullptr);
    ~QtHttpRequestParser();

    void feed(const QByteArray &bytes);

    // Parses buffered bytes until a request is complete (RequestParsed), the
    // input is wrong (ParsingError), or more bytes are needed (the state
    // waited in). Both RequestParsed and ParsingError stay until the request
    // is taken or the parser is reset.
    ParsingStatus parse();

    // After RequestParsed: hands the complete request to the caller, who owns
    // it from then on, and moves on to the next request.
    QtHttpRequest *takeRequest();

    // Forgets the buffered bytes and the request under way, after an error.
    void reset();

    ParsingStatus getStatus() const { return m_status; }
    Error getError() const { return m_error; }
    // The request being read, or null before its request line.
    const QtHttpRequest *getCurrentRequest() const { return m_request.get(); }
    // True from the first byte of a request until the request is taken.
    bool isRequestStarted() const;

private:
    bool takeLine(QByteArray *line);
    void takeContent();
    void parseRequestLine(const QByteArray &line);
    void parseHeaderLine(const QByteArray &line);
    void finishHeaders();
    void fail(Error error);

    QtHttpClientWrapper *m_client;
    QtHttpServer *m_server;
    ParsingStatus m_status = AwaitingRequest;
    Error m_error = Error::None;
    QByteArray m_buffer;
    int m_pos = 0; // start of the unparsed bytes in m_buffer
    int m_headerLines = 0;
    int m_contentLeft = 0;
    std::unique_ptr<QtHttpRequest> m_request;
};

#endif // QTHTTPREQUESTPARSER_H
