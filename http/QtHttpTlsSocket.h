#ifndef QTHTTPTLSSOCKET_H
#define QTHTTPTLSSOCKET_H

#include <QByteArray>
#include <QTcpSocket>

class QSocketNotifier;
typedef struct bio_st BIO;
typedef struct bio_method_st BIO_METHOD;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The server side of one TLS connection, run by OpenSSL straight on the
// socket's descriptor: a write is encrypted from the caller's buffer into
// one record buffer and sent from there, so a frame written to many
// connections costs each of them its encryption and one copy into the
// kernel. The handshake and every read and write are non-blocking, driven
// by the event loop. To its users it is a QTcpSocket: readyRead, read(),
// write(), bytesToWrite(), bytesWritten, close() after the written bytes are
// out, abort() at once, and disconnected once, when it is over (a failed
// handshake included). Input is buffered up to a bound; past it the peer is
// held back by TCP flow control until the input is read.
class QtHttpTlsSocket : public QTcpSocket
{
    Q_OBJECT
    Q_DISABLE_COPY(QtHttpTlsSocket)

public:
    explicit QtHttpTlsSocket(QObject *parent = nullptr);
    ~QtHttpTlsSocket() override;

    // Takes over an accepted, connected descriptor; on failure the caller
    // keeps it.
    bool takeDescriptor(qintptr descriptor);
    // Starts the server side of the handshake with the context's identity.
    bool startServerEncryption(SSL_CTX *context);
    bool isEncrypted() const { return m_encrypted; }

    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    // Sends what was written, then ends the connection; a second call, or
    // abort(), ends it at once.
    void close() override;
    void disconnectFromHost() override;
    // Ends the connection at once; what was not sent is dropped. Hides
    // QAbstractSocket::abort(), which would only close().
    void abort();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void onReady();
    void progress();
    bool handshake();
    bool flushOutput();
    bool readInput();
    qint64 writeRecords(const char *data, qint64 size);
    bool wouldBlock(int result, bool *wantsWrite);
    void updateNotifiers();
    void finishClosing();
    void shutDown();

    // The TLS layer's I/O: send and receive on the descriptor, never
    // blocking and never raising SIGPIPE.
    static const BIO_METHOD *socketMethod();
    static int sendRecord(BIO *bio, const char *data, size_t size, size_t *sent);
    static int receiveRecord(BIO *bio, char *data, size_t size, size_t *received);
    static long controlBio(BIO *bio, int command, long number, void *pointer);

    int m_descriptor = -1;
    SSL *m_ssl = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_input;  // decrypted, not yet read
    QByteArray m_output; // written, not yet taken by the kernel, from m_outputStart on
    int m_outputStart = 0;
    qint64 m_written = 0; // taken since bytesWritten was last emitted
    bool m_encrypted = false;
    bool m_wantsWrite = false; // the last TLS operation waits for room to send
    bool m_moreFollows = false; // the record being sent is not the write's last
    bool m_closing = false;
    bool m_inProgress = false;
};

#endif // QTHTTPTLSSOCKET_H
