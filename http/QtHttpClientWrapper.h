#ifndef QTHTTPCLIENTWRAPPER_H
#define QTHTTPCLIENTWRAPPER_H

#include "QtHttpRequestParser.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

#include <memory>

class QTimer;
class QtHttpAddressCounts;
class QtHttpMemoryBudget;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// One accepted connection: feeds the socket's bytes to a request parser,
// hands each complete request to the server's requestNeedsReply handlers and
// writes their reply. Connections that stall before a request is complete,
// or stay idle between requests, are closed; a connection that a handler
// took over in boundary mode never is.
class QtHttpClientWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpClientWrapper)

public:
    // The socket stays owned by the server side. The server becomes the parent.
    QtHttpClientWrapper(QTcpSocket *sock, QtHttpServer *parent);
    ~QtHttpClientWrapper() override;

    // 32 lowercase hex digits, fixed for the life of the connection.
    QString getGuid() const { return m_guid; }

    // Writes the bytes as they are, with no framing, and flushes. The only way
    // to write to a connection once the handler has returned (boundary mode).
    void sendToClient(const QByteArray &data);

    // Bytes written but not yet taken by the peer; lets a streaming handler
    // skip data for a peer that does not keep up.
    qint64 getBytesToWrite() const;
    // Ends the connection once what was written has gone out: for a handler
    // that took the connection over and has nothing more to send on it.
    void close();

    // Ends the connection at once, without a reply.
    void dropConnection();

public slots:
    // Asks the server's access gate again about the request it held, then
    // goes on with the input that waited meanwhile. Never call it from
    // within the gate's own decide().
    void resumeHeldRequest();

protected slots:
    void onReplySendHeadersRequested();
    void onReplySendDataRequested();

private slots:
    void onClientDataReceived();
    void onTimeout();

private:
    enum class Wait { None, Request, Idle, Close };

    bool isServing() const;
    bool readMore();
    void resumeNextTurn();
    void reportHeldBytes();
    void dispatch(std::unique_ptr<QtHttpRequest> request);
    void answerParsingError(QtHttpRequestParser::Error error);
    void connectReply(QtHttpReply *reply);
    void finishReply(QtHttpReply *reply);
    void closeConnection();
    void abortSocket();
    void discardPendingInput();
    qint64 sendDirectly(const QByteArray &data);
    void armTimer();
    void startWait(Wait wait, int ms);

    QString m_guid;
    QPointer<QTcpSocket> m_sockClient;
    QtHttpServer *m_serverHandle;
    QtHttpRequestParser m_parser;
    QtHttpMemoryBudget *m_budget;
    QtHttpAddressCounts *m_addressCounts;
    std::unique_ptr<QtHttpRequest> m_streamRequest; // handed over in boundary mode
    std::unique_ptr<QtHttpRequest> m_heldRequest;   // the access gate answers it later
    QTimer *m_timer;
    Wait m_wait = Wait::None;
    bool m_streaming = false; // a handler took the connection over
    bool m_closing = false;
    bool m_reading = false;
    bool m_resumePosted = false;
};

#endif // QTHTTPCLIENTWRAPPER_H
