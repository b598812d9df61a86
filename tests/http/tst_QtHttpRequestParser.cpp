#include "QtHttpConstants.h"
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
        if (parser.getCurrentRequest() && parser.getStatus() == Parser::AwaitingHeaders) {
            const QByteArray seen = parser.getCurrentRequest()->getHeader("X-Long");
            QVERIFY2(seen.isEmpty() || seen == "abcdef" || seen == "ghijkl", seen.constData());
        }
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
    QTest::newRow("body length not a number")
        << get + "Content-Length: many\r\n\r\n" << int(Parser::RequestParsed);
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

void TestQtHttpRequestParser::malformedAndReset()
{
    Parser parser;
    parser.feed("GET / HTTP/1.1\r\nConnection: close\r\nno colon\r\nGET / HTTP/1.1\r\n\r\n");
    QTest::ignoreMessage(QtWarningMsg, "Error : incorrect HTTP headers line : \"no colon\"");
    QCOMPARE(parser.parse(), Parser::ParsingError);
    QCOMPARE(parser.getError(), Parser::Error::Malformed);
    QCOMPARE(parser.getCurrentRequest()->getHeader("Connection"), QByteArray("close"));
    QCOMPARE(parser.parse(), Parser::ParsingError);

    parser.reset();
    QVERIFY(!parser.isRequestStarted());
    QVERIFY(!parser.getCurrentRequest());
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
