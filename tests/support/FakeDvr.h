#ifndef FAKEDVR_H
#define FAKEDVR_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;
class QUrl;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// A DVR for tests, listening on a port the system chooses from the moment it
// is constructed, built on the project's own HTTP server. It answers:
//   GET /snapshotN.jpg  a JPEG-like body that differs on every request
//                       (see snapshots());
//   GET /alarm.htm      the page given to setAlarmPage() (an IO module page);
//   anything else       404.
// When credentials are set, a request without the matching Basic
// "Authorization" header gets 401 instead. Every request is counted and its
// query string recorded, whatever the answer. Tests reach it at
// host():port(), i.e. on loopback.
class FakeDvr : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FakeDvr)

public:
    enum class Mode {
        Serve, // answer as above
        Fail,  // answer every request with failStatus() and a short body
        Hang,  // take every request and never answer it, keeping the connection open
        // Below HTTP: every request line is recorded as above, then
        Reset,   // the connection is reset (RST)
        Garbage, // bytes that are not HTTP come back and the connection is closed
    };

    explicit FakeDvr(QObject *parent = nullptr);
    ~FakeDvr() override;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const;

    // Empty user and password (the default) accept any request.
    void setCredentials(const QString &user, const QString &password);
    // Entering or leaving Reset and Garbage closes every open connection,
    // like a DVR that restarts; the port stays the same.
    void setMode(Mode mode);
    void setFailStatus(int status) { m_failStatus = status; }
    int failStatus() const { return m_failStatus; }
    // Pads every snapshot body to at least this many bytes.
    void setSnapshotSize(int bytes) { m_snapshotSize = bytes; }
    void setAlarmPage(const QByteArray &html) { m_alarmPage = html; }

    int requestCount() const { return m_paths.size(); }
    int requestCount(const QString &path) const { return m_paths.count(path); }
    // Path and query string (as on the wire, without "?", empty for none)
    // of every request, in arrival order.
    const QStringList &paths() const { return m_paths; }
    const QStringList &queries() const { return m_queries; }
    // A header of the most recent request; empty when it had none.
    QByteArray lastHeader(const QByteArray &name) const { return m_lastHeaders.value(name); }
    // Every snapshot body served, in order, as a client receives it: the
    // server ends every plain body with CRLF.
    const QList<QByteArray> &snapshots() const { return m_snapshots; }

signals:
    // After the request was recorded, before it is answered.
    void requestReceived(const QString &path);

private slots:
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);
    void onRawConnection();

private:
    static bool isRaw(Mode mode) { return mode == Mode::Reset || mode == Mode::Garbage; }
    void startHttpServer();
    void record(const QUrl &url);
    void answerRaw(QTcpSocket *socket);
    bool authorized(const QtHttpRequest *request) const;
    QByteArray nextSnapshot(const QString &path);

    QtHttpServer *m_server = nullptr; // in the HTTP modes
    QTcpServer *m_rawServer = nullptr; // in Reset and Garbage
    quint16 m_port = 0;
    Mode m_mode = Mode::Serve;
    int m_failStatus = 500;
    int m_snapshotSize = 0;
    QByteArray m_expectedAuthorization;
    QByteArray m_alarmPage;
    QStringList m_paths;
    QStringList m_queries;
    QHash<QByteArray, QByteArray> m_lastHeaders;
    QList<QByteArray> m_snapshots;
};

#endif // FAKEDVR_H
