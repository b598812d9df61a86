#include "QtHttpConstants.h"
#include "QtHttpMessageParser.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpRequestParser.h"

#include <QtTest>

#include <memory>

using Parser = QtHttpRequestParser;

class TestQtHttpRequestParser : public QObject
{
    Q_OBJECT

private slots:
    void parsesRequest();
    void splitAnywhere();
    void bounds_data();
    void bounds();
    void requestFraming_data();
    void requestFraming();
    void proxyHeadersAreLists();
    void responseFraming_data();
    void responseFraming();
    void malformedAndReset();
    void replyModesAndHeaders();
};

namespace {

// Feeds the whole stream and takes every request that comes out.
QList<std::shared_ptr<QtHttpRequest>> takeAll(Parser &parser)
{
    QList<std::shared_ptr<QtHttpRequest>> requests;
    while (parser.parse() == Parser::RequestParsed)
        requests.append(std::shared_ptr<QtHttpRequest>(parser.takeRequest()));
    return requests;
}

QByteArray headerLines(int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += "X-" + QByteArray::number(i) + ": v\r\n";
    return lines;
}

} // namespace

void TestQtHttpRequestParser::parsesRequest()
{
    Parser parser;
    parser.feed("POST   /a%20b?x=1  HTTP/1.1\r\nHost:  example \r\nContent-Length: 007\r\n"
                "Host: again\r\n\r\nabcdefg");
    QCOMPARE(parser.parse(), Parser::RequestParsed);
    std::unique_ptr<QtHttpRequest> request(parser.takeRequest());
    QCOMPARE(request->getCommand(), QStringLiteral("POST"));
    QCOMPARE(request->getUrl().path(), QStringLiteral("/a b"));
    QCOMPARE(request->getUrl().query(), QStringLiteral("x=1"));
    QCOMPARE(request->getHeader("Host"), QByteArray("again"));
    QCOMPARE(request->getHeader("Content-Length"), QByteArray("7"));
    QCOMPARE(request->getHeader("Connection"), QByteArray("Keep-Alive"));
    QCOMPARE(request->getRawData(), QByteArray("abcdefg"));
    QCOMPARE(parser.parse(), Parser::AwaitingRequest);
    QVERIFY(!parser.isRequestStarted());
}

// However the stream is cut, the same requests come out: partial lines wait
// for their line feed, and a body ends at its declared length even when the
// next request follows on the same line.
void TestQtHttpRequestParser::splitAnywhere()
{
    const QByteArray stream = "POST /one HTTP/1.1\r\nContent-Length: 3\r\nX-Long: abcdef\r\n\r\nxyz"
                              "GET /two HTTP/1.1\r\nX-Long: ghijkl\r\n\r\n";
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Parser parser;
        parser.feed(stream.left(cut));
        QList<std::shared_ptr<QtHttpRequest>> requests = takeAll(parser);
        parser.feed(stream.mid(cut));
        requests += takeAll(parser);
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(0)->getUrl().path(), QStringLiteral("/one"));
        QCOMPARE(requests.at(0)->getRawData(), QByteArray("xyz"));
        QCOMPARE(requests.at(1)->getUrl().path(), QStringLiteral("/two"));
        QCOMPARE(requests.at(1)->getHeader("X-Long"), QByteArray("ghijkl"));
        QCOMPARE(parser.getStatus(), Parser::AwaitingRequest);
    }
}

void TestQtHttpRequestParser::bounds_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");

    const QByteArray get = "GET / HTTP/1.1\r\n";
    const int max = QtHttp::MAX_LINE_LENGTH;
    const QByteArray longName = "X: " + QByteArray(max - 3, 'a');
    QTest::newRow("header line at the bound") << get + longName + "\r\n\r\n" << int(Parser::RequestParsed);
    QTest::newRow("header line over the bound") << get + longName + "a\r\n\r\n" << int(Parser::ParsingError);
    QTest::newRow("unterminated line at the bound") << get + longName + "\r" << int(Parser::AwaitingHeaders);
    QTest::newRow("unterminated line over the bound") << get + longName + "a" << int(Parser::ParsingError);
    QTest::newRow("request line over the bound")
        << "GET /" + QByteArray(max, 'a') + " HTTP/1.1\r\n" << int(Parser::ParsingError);
    QTest::newRow("100 header lines") << get + headerLines(100) + "\r\n" << int(Parser::RequestParsed);
    QTest::newRow("101 header lines") << get + headerLines(101) + "\r\n" << int(Parser::ParsingError);
    QTest::newRow("body at the bound")
        << get + "Content-Length: " + QByteArray::number(QtHttp::MAX_BODY_SIZE) + "\r\n\r\n" << int(Parser::AwaitingContent);
    QTest::newRow("body over the bound")
        << get + "Content-Length: " + QByteArray::number(QtHttp::MAX_BODY_SIZE + 1) + "\r\n\r\n" << int(Parser::ParsingError);
    QTest::newRow("body length beyond any int")
        << get + "Content-Length: 99999999999999999999\r\n\r\n" << int(Parser::ParsingError);
    QTest::newRow("head over its bound, every line within")
        << get + headerLines(4).replace("v", QByteArray(QtHttp::MAX_LINE_LENGTH - 8, 'v')) << int(Parser::ParsingError);
}

void TestQtHttpRequestParser::bounds()
{
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    Parser parser;
    parser.feed(input);
    QCOMPARE(int(parser.parse()), status);
    const Parser::Error error = status == Parser::ParsingError ? Parser::Error::TooLarge : Parser::Error::None;
    QCOMPARE(parser.getError(), error);
    delete parser.takeRequest();
}

// How a request's head frames it, and what an attempt to frame it twice
// (the stuff of request smuggling) gets.
void TestQtHttpRequestParser::requestFraming_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("error"); // Parser::Error; None: parsed, with the body "hello"
    const auto row = [](const char *name, const QByteArray &head, Parser::Error error) {
        QTest::newRow(name) << "POST / HTTP/1.1\r\n" + head + "\r\nhello" << int(error);
    };
    row("length in lower case", "content-length: 5\r\n", Parser::Error::None);
    row("length in upper case", "CONTENT-LENGTH: 5\r\n", Parser::Error::None);
    row("the same length twice", "Content-Length: 5\r\ncontent-length: 05\r\n", Parser::Error::None);
    row("two lengths", "Content-Length: 5\r\nContent-Length: 4\r\n", Parser::Error::BadLength);
    row("a list of lengths", "Content-Length: 5, 5\r\n", Parser::Error::BadLength);
    row("a negative length", "Content-Length: -5\r\n", Parser::Error::BadLength);
    row("a signed length", "Content-Length: +5\r\n", Parser::Error::BadLength);
    row("a length not a number", "Content-Length: 0x5\r\n", Parser::Error::BadLength);
    row("an empty length", "Content-Length:\r\n", Parser::Error::BadLength);
    row("chunked", "Transfer-Encoding: chunked\r\n", Parser::Error::NotImplemented);
    row("length and chunked", "Content-Length: 5\r\ntransfer-encoding: chunked\r\n", Parser::Error::NotImplemented);
    row("blank before the colon", "Content-Length : 5\r\n", Parser::Error::Malformed);
    row("a folded line", "Content-Length: 5\r\nX-A: a\r\n b\r\n", Parser::Error::Malformed);
    row("a NUL byte", "Content-Length: 5\r\nX-A: a" + QByteArray(1, '\0') + "b\r\n", Parser::Error::Malformed);
    row("a bare carriage return", "Content-Length: 5\r\nX-A: a\rb\r\n", Parser::Error::Malformed);
    row("a name not a token", "Content-Length: 5\r\nX(A): a\r\n", Parser::Error::Malformed);
    QTest::newRow("a NUL byte in the request line") << "GET /" + QByteArray(1, '\0') + " HTTP/1.1\r\n\r\n" << int(Parser::Error::Malformed);
}

void TestQtHttpRequestParser::requestFraming()
{
    QFETCH(QByteArray, head);
    QFETCH(int, error);
    Parser parser;
    parser.feed(head);
    const QList<std::shared_ptr<QtHttpRequest>> requests = takeAll(parser);
    QCOMPARE(int(parser.getError()), error);
    if (Parser::Error(error) != Parser::Error::None)
        return;
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0)->getRawData(), QByteArray("hello"));
    QCOMPARE(requests.at(0)->getHeader("Content-Length"), QByteArray("5"));
}

// Every line of a proxy's header counts, in order; the connection's options
// are a list too.
void TestQtHttpRequestParser::proxyHeadersAreLists()
{
    Parser parser;
    parser.feed("GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1\r\nx-forwarded-for: 10.0.0.2, 10.0.0.3\r\n"
                "Connection: keep-alive, Close\r\n\r\n");
    QCOMPARE(parser.parse(), Parser::RequestParsed);
    QVERIFY(parser.asksToClose());
    const std::unique_ptr<QtHttpRequest> request(parser.takeRequest());
    QCOMPARE(request->getHeader("X-Forwarded-For"), QByteArray("10.0.0.1, 10.0.0.2, 10.0.0.3"));
}

// The same reader takes a DVR's responses, by the same rules.
void TestQtHttpRequestParser::responseFraming_data()
{
    using Reader = QtHttpMessageParser;
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("status"); // Reader::Status after the input ends
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");
    const auto ok = [](const char *name, const QByteArray &response, const QByteArray &body) {
        QTest::newRow(name) << response << int(Reader::Status::Complete) << int(Reader::Error::None) << body;
    };
    const auto bad = [](const char *name, const QByteArray &response, Reader::Error error) {
        QTest::newRow(name) << response << int(Reader::Status::Error) << int(error) << QByteArray();
    };
    const QByteArray head = "HTTP/1.1 200 OK\r\n";
    ok("chunked, extensions and trailers", head + "Transfer-Encoding: Chunked\r\n\r\n3;x=y\r\nhel\r\n2\r\nlo\r\n0\r\nT: 1\r\n\r\n", "hello");
    ok("until the close", head + "\r\nhello", "hello");
    ok("interim answer first", "HTTP/1.1 100 Continue\r\n\r\n" + head + "content-length: 5\r\n\r\nhello", "hello");
    ok("no content", "HTTP/1.1 204 No Content\r\n\r\n", "");
    bad("length and chunked", head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", Reader::Error::BadLength);
    bad("two lengths", head + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello", Reader::Error::BadLength);
    bad("a list of lengths", head + "Content-Length: 5, 5\r\n\r\nhello", Reader::Error::BadLength);
    bad("another coding", head + "Transfer-Encoding: gzip, chunked\r\n\r\n", Reader::Error::Unsupported);
    bad("a folded line", head + "X-A: a\r\n\tb\r\n\r\n", Reader::Error::Malformed);
    bad("a signed chunk size", head + "Transfer-Encoding: chunked\r\n\r\n-5\r\n", Reader::Error::Malformed);
    bad("a chunk without its line end", head + "Transfer-Encoding: chunked\r\n\r\n2\r\nhello\r\n", Reader::Error::Malformed);
    bad("a body cut short", head + "Content-Length: 9\r\n\r\nhello", Reader::Error::Truncated);
}

void TestQtHttpRequestParser::responseFraming()
{
    QFETCH(QByteArray, response);
    QFETCH(int, status);
    QFETCH(int, error);
    QFETCH(QByteArray, body);
    QtHttpMessageParser reader(QtHttpMessageParser::Kind::Response);
    reader.feed(response);
    if (reader.parse() == QtHttpMessageParser::Status::NeedMore)
        reader.finishInput();
    QVERIFY2(int(reader.status()) == status, qPrintable(reader.errorDetail()));
    QCOMPARE(int(reader.error()), error);
    QCOMPARE(reader.takeMessage().body, body);
}

void TestQtHttpRequestParser::malformedAndReset()
{
    Parser parser;
    parser.feed("GET / HTTP/1.1\r\nConnection: close\r\nno colon\r\nGET / HTTP/1.1\r\n\r\n");
    QTest::ignoreMessage(QtWarningMsg, "Error : incorrect HTTP headers line : \"no colon\"");
    QCOMPARE(parser.parse(), Parser::ParsingError);
    QCOMPARE(parser.getError(), Parser::Error::Malformed);
    QVERIFY(parser.asksToClose());
    QCOMPARE(parser.parse(), Parser::ParsingError);

    parser.reset();
    QVERIFY(!parser.isRequestStarted());
    QVERIFY(!parser.asksToClose());
    parser.feed("GET / HTTP/1.1\r\n\r\n");
    QCOMPARE(parser.parse(), Parser::RequestParsed);
    delete parser.takeRequest();
}

void TestQtHttpRequestParser::replyModesAndHeaders()
{
    QtHttpReply reply(nullptr);
    QCOMPARE(reply.getStatusCode(), QtHttpReply::Ok);
    QCOMPARE(reply.getHeader("Server"), QByteArray("The Qt5 HTTP Server"));
    QVERIFY(QRegularExpression("^[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d UTC$")
                .match(QString::fromUtf8(reply.getHeader("Date"))).hasMatch());

    reply.setUseChunked(true);
    reply.setUseBoundary(true);
    reply.setUseChunked();
    reply.setUseBoundary();
    QVERIFY(!reply.useChunked());
    QVERIFY(!reply.useBoundary());

    reply.addHeader("  Content-Type \t", "text/plain");
    reply.addHeader("   ", "ignored");
    reply.addHeader("Server", "Other");
    QCOMPARE(reply.getHeader("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(reply.getHeader("Server"), QByteArray("Other"));
    QCOMPARE(reply.getHeadersList().size(), 3);
}

int runRequestParserTests(int argc, char **argv)
{
    TestQtHttpRequestParser test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_QtHttpRequestParser.moc"
