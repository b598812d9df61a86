#include "QtHttpClientWrapper.h"

#include "QtHttpAccessGate.h"
#include "QtHttpAddressCounts.h"
#include "QtHttpConstants.h"
#include "QtHttpMemoryBudget.h"
#include "QtHttpReply.h"
#include "QtHttpRequest.h"
#include "QtHttpServer.h"
#include "QtHttpTlsSocket.h"

#include <QTimer>
#include <QUuid>

#include <sys/socket.h>

namespace {

// Reads from the socket are taken in pieces of this size, and the socket
// buffers no more than this, so that a peer that sends faster than its
// requests are answered is held back by TCP flow control.
constexpr qint64 READ_CHUNK_SIZE = 64 * 1024;

const QByteArray PARSING_ERROR_PAGE = QByteArrayLiteral("<h1>Bad Request (HTTP parsing error) !</h1>");
const QByteArray LAST_CHUNK = QByteArrayLiteral("0\r\n\r\n");

// "close" among the options of the Connection header, in any letter case.
bool asksToClose(const QtHttpRequest *request)
{
    for (const QByteArray &option : request->getHeader(QtHttp::CONNECTION).split(',')) {
        if (option.trimmed().compare("close", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// The status line and headers of a reply, with the framing header its mode needs.
QByteArray headOf(QtHttpReply *reply)
{
    const QtHttpReply::StatusCode code = reply->getStatusCode();
    QByteArray block = QtHttp::HTTP_VERSION + ' ' + QByteArray::number(int(code)) + ' '
        + QtHttpReply::getStatusTextForCode(code) + QtHttp::CRLF;
    if (reply->useChunked())
        reply->addHeader(QtHttp::TRANSFER_ENCODING, QByteArrayLiteral("chunked"));
    else
        reply->addHeader(QtHttp::CONTENT_LENGTH, QByteArray::number(reply->getRawDataSize()));
    for (const QByteArray &name : reply->getHeadersList())
        block += name + ": " + reply->getHeader(name) + QtHttp::CRLF;
    block += QtHttp::CRLF;
    return block;
}

} // namespace

QtHttpClientWrapper::QtHttpClientWrapper(QTcpSocket *sock, QtHttpServer *parent)
    : QObject(parent)
    // Random rather than derived from the object, so that a connection never
    // inherits the guid of one that ended before it.
    , m_guid(QUuid::createUuid().toString(QUuid::Id128))
    , m_sockClient(sock)
    , m_serverHandle(parent)
    , m_parser(this, parent)
    , m_budget(parent->getMemoryBudget())
    , m_addressCounts(parent->getAddressCounts())
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &QtHttpClientWrapper::onTimeout);
    sock->setReadBufferSize(READ_CHUNK_SIZE);
    // Replies and stream frames go out as soon as they are written, rather
    // than waiting for the peer to acknowledge the previous segment.
    sock->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(sock, &QIODevice::readyRead, this, &QtHttpClientWrapper::onClientDataReceived);
    // Input held back while the peer was not taking its replies resumes here,
    // and what the connection holds is counted again.
    connect(sock, &QIODevice::bytesWritten, this, &QtHttpClientWrapper::onClientDataReceived);
    armTimer();
}

QtHttpClientWrapper::~QtHttpClientWrapper()
{
    m_budget->remove(this);
    m_addressCounts->release(this);
}

void QtHttpClientWrapper::sendToClient(const QByteArray &data)
{
    if (!m_sockClient || !m_sockClient->isOpen())
        return;
    const qint64 sent = sendDirectly(data);
    if (sent == data.size())
        return;
    m_sockClient->write(data.constData() + sent, data.size() - sent);
    m_sockClient->flush();
    if (!m_reading)
        reportHeldBytes();
}

// A plain socket with nothing queued takes the bytes straight from the
// caller's buffer: a frame written to a thousand viewers is then copied once
// per viewer, into the kernel, instead of through the socket's own buffer
// first. Whatever the kernel does not take now is queued as usual. A TLS
// socket encrypts from the caller's buffer by itself.
qint64 QtHttpClientWrapper::sendDirectly(const QByteArray &data)
{
    if (qobject_cast<QtHttpTlsSocket *>(m_sockClient) || m_sockClient->bytesToWrite() > 0
        || m_sockClient->state() != QAbstractSocket::ConnectedState)
        return 0;
    const ssize_t sent = ::send(int(m_sockClient->socketDescriptor()), data.constData(), size_t(data.size()),
                                MSG_DONTWAIT | MSG_NOSIGNAL);
    // Errors are left to the socket, which meets them on its own write.
    return sent > 0 ? qint64(sent) : 0;
}

qint64 QtHttpClientWrapper::getBytesToWrite() const
{
    return m_sockClient ? m_sockClient->bytesToWrite() : 0;
}

void QtHttpClientWrapper::close()
{
    if (m_sockClient && !m_closing)
        closeConnection();
}

void QtHttpClientWrapper::onClientDataReceived()
{
    // A handler that flushes a TLS socket can make it deliver input during
    // the dispatch; the loop below picks that input up once the handler returns.
    if (m_reading)
        return;
    m_reading = true;
    m_resumePosted = false;
    int served = 0;
    while (isServing() && !m_heldRequest && m_sockClient->bytesToWrite() <= QtHttp::MAX_UNSENT_REPLY_BYTES) {
        if (served == QtHttp::MAX_REQUESTS_PER_TURN) {
            resumeNextTurn();
            break;
        }
        const QtHttpRequestParser::ParsingStatus status = m_parser.parse();
        if (status == QtHttpRequestParser::RequestParsed) {
            dispatch(std::unique_ptr<QtHttpRequest>(m_parser.takeRequest()));
            ++served;
        } else if (status == QtHttpRequestParser::ParsingError) {
            answerParsingError(m_parser.getError());
            ++served;
        } else if (!readMore()) {
            break;
        }
    }
    m_reading = false;
    reportHeldBytes();
    armTimer();
}

// Other connections have their turn first; this one goes on from the event loop.
void QtHttpClientWrapper::resumeNextTurn()
{
    if (m_resumePosted)
        return;
    m_resumePosted = true;
    QMetaObject::invokeMethod(this, &QtHttpClientWrapper::onClientDataReceived, Qt::QueuedConnection);
}

void QtHttpClientWrapper::reportHeldBytes()
{
    const qint64 socketBytes = m_sockClient ? m_sockClient->bytesAvailable() + m_sockClient->bytesToWrite() : 0;
    m_budget->update(this, m_parser.heldBytes() + socketBytes);
}

void QtHttpClientWrapper::dropConnection()
{
    m_closing = true;
    m_budget->remove(this);
    abortSocket();
}

// QAbstractSocket::abort() only closes a TLS socket, which lets what is
// queued go out first; its own abort() cuts it at once.
void QtHttpClientWrapper::abortSocket()
{
    if (auto *tls = qobject_cast<QtHttpTlsSocket *>(m_sockClient))
        tls->abort();
    else if (m_sockClient)
        m_sockClient->abort();
}

bool QtHttpClientWrapper::isServing() const
{
    return m_sockClient && m_sockClient->state() == QAbstractSocket::ConnectedState && !m_closing;
}

bool QtHttpClientWrapper::readMore()
{
    const qint64 available = m_sockClient->bytesAvailable();
    if (available <= 0)
        return false;
    // Exactly what is there: a read of a whole chunk would keep a chunk's
    // allocation for a few bytes.
    m_parser.feed(m_sockClient->read(qMin(available, READ_CHUNK_SIZE)));
    return true;
}

void QtHttpClientWrapper::dispatch(std::unique_ptr<QtHttpRequest> request)
{
    m_wait = Wait::None; // the next request gets a full time-out of its own
    const auto *tls = qobject_cast<QtHttpTlsSocket *>(m_sockClient.data());
    m_serverHandle->identifyClient(request.get(), QtHttpServer::unmapped(m_sockClient->peerAddress()),
                                   tls && tls->isEncrypted());
    QtHttpReply reply(m_serverHandle);
    connectReply(&reply);
    // Who may be answered is decided here, before any handler runs: first
    // the server's bounds on the client, then the access gate.
    if (!m_serverHandle->admitRequest(this, request.get(), &reply)) {
        finishReply(&reply);
        closeConnection();
        request.release()->deleteLater();
        return;
    }
    QtHttpAccessGate *gate = m_serverHandle->getAccessGate();
    const QtHttpAccessGate::Decision decision = gate ? gate->decide(request.get(), &reply) : QtHttpAccessGate::Pass;
    if (decision == QtHttpAccessGate::Hold) {
        m_heldRequest = std::move(request);
        return;
    }
    if (decision == QtHttpAccessGate::Pass)
        emit m_serverHandle->requestNeedsReply(request.get(), &reply);

    if (reply.useBoundary()) {
        // The handler writes the response itself from now on; the request
        // stays alive as long as the connection does.
        m_streamRequest = std::move(request);
        m_streaming = true;
        return;
    }
    finishReply(&reply);
    if (asksToClose(request.get()))
        closeConnection();
    request.release()->deleteLater();
}

void QtHttpClientWrapper::resumeHeldRequest()
{
    if (!m_heldRequest)
        return;
    dispatch(std::move(m_heldRequest));
    onClientDataReceived();
}

// A malformed request is answered and the connection goes on, unless the
// request asked to close it; a request that is too large, or whose length
// cannot be trusted, leaves the stream without a known next request, so
// the connection ends.
void QtHttpClientWrapper::answerParsingError(QtHttpRequestParser::Error error)
{
    m_wait = Wait::None;
    const bool close = error != QtHttpRequestParser::Error::Malformed || m_parser.asksToClose();
    m_parser.reset();
    discardPendingInput();

    QtHttpReply reply(m_serverHandle);
    connectReply(&reply);
    if (error == QtHttpRequestParser::Error::NotImplemented) {
        reply.setStatusCode(QtHttpReply::NotImplemented);
    } else {
        reply.setStatusCode(QtHttpReply::BadRequest);
        reply.appendRawData(PARSING_ERROR_PAGE + QtHttp::CRLF);
    }
    finishReply(&reply);
    if (close)
        closeConnection();
}

void QtHttpClientWrapper::connectReply(QtHttpReply *reply)
{
    connect(reply, &QtHttpReply::requestSendHeaders, this, &QtHttpClientWrapper::onReplySendHeadersRequested);
    connect(reply, &QtHttpReply::requestSendData, this, &QtHttpClientWrapper::onReplySendDataRequested);
}

// A chunked reply has sent its pieces already; a plain one goes out now.
void QtHttpClientWrapper::finishReply(QtHttpReply *reply)
{
    if (reply->useChunked()) {
        sendToClient(LAST_CHUNK);
        return;
    }
    // Head and body in one write: one system call, one segment for a small reply.
    reply->appendRawData(QtHttp::CRLF);
    sendToClient(headOf(reply) + reply->getRawData());
}

void QtHttpClientWrapper::onReplySendHeadersRequested()
{
    QtHttpReply *reply = qobject_cast<QtHttpReply *>(sender());
    if (reply)
        sendToClient(headOf(reply));
}

void QtHttpClientWrapper::onReplySendDataRequested()
{
    QtHttpReply *reply = qobject_cast<QtHttpReply *>(sender());
    if (!reply)
        return;
    if (!reply->useChunked()) {
        sendToClient(reply->getRawData());
        return;
    }
    const QByteArray data = reply->getRawData();
    reply->resetRawData();
    sendToClient(QByteArray::number(data.size(), 16) + QtHttp::CRLF + data + QtHttp::CRLF);
}

void QtHttpClientWrapper::discardPendingInput()
{
    while (m_sockClient && m_sockClient->bytesAvailable() > 0)
        m_sockClient->read(READ_CHUNK_SIZE);
}

void QtHttpClientWrapper::closeConnection()
{
    m_closing = true;
    m_sockClient->close(); // what was written still goes out first
    // A peer that takes none of it must not hold the socket open for ever.
    if (m_sockClient->state() != QAbstractSocket::UnconnectedState)
        startWait(Wait::Close, m_serverHandle->getRequestTimeout());
}

void QtHttpClientWrapper::armTimer()
{
    if (m_closing)
        return;
    if (m_streaming || m_heldRequest) {
        m_timer->stop();
        m_wait = Wait::None;
    } else if (m_parser.isRequestStarted()) {
        if (m_wait != Wait::Request)
            startWait(Wait::Request, m_serverHandle->getRequestTimeout());
    } else {
        startWait(Wait::Idle, m_serverHandle->getIdleTimeout());
    }
}

void QtHttpClientWrapper::startWait(Wait wait, int ms)
{
    m_wait = wait;
    m_timer->start(ms);
}

void QtHttpClientWrapper::onTimeout()
{
    if (!m_sockClient)
        return;
    switch (m_wait) {
    case Wait::Request:
        answerParsingError(QtHttpRequestParser::Error::TooLarge);
        break;
    case Wait::Idle:
        closeConnection();
        break;
    case Wait::Close:
        abortSocket();
        break;
    case Wait::None:
        break;
    }
}
