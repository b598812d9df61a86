#ifndef SIMDVR_H
#define SIMDVR_H

#include "FrameRenderer.h"
#include "SimDvrOptions.h"
#include "SimIoModule.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// The simulated DVR: cameras on one port (GET /snapshotI.jpg, where the
// index I counts from 0, so channel 1 is /snapshot0.jpg) and an IO
// module on another (GET /alarm.htm, with an optional gpoN query that
// switches outputs). Every request must carry the configured Basic
// credentials.
class SimDvr : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SimDvr)

public:
    explicit SimDvr(const SimDvrOptions &options, QObject *parent = nullptr);

    // Listens on both ports (0 lets the system choose); false, with the
    // reason in errorString(), when either cannot be opened.
    bool start(quint16 port, quint16 ioPort);
    quint16 port() const;
    quint16 ioPort() const;
    QString errorString() const { return m_error; }

    const SimIoModule &ioModule() const { return m_io; }

signals:
    // One line about every output that changed.
    void outputChanged(int output, int level);

private slots:
    void onSnapshotRequest(QtHttpRequest *request, QtHttpReply *reply);
    void onIoRequest(QtHttpRequest *request, QtHttpReply *reply);

private:
    bool authorize(const QtHttpRequest *request, QtHttpReply *reply) const;
    int snapshotChannel(const QString &path) const;

    QtHttpServer *m_snapshotServer;
    QtHttpServer *m_ioServer;
    FrameRenderer m_renderer;
    SimIoModule m_io;
    QVector<quint64> m_frames;
    QByteArray m_authorization;
    QString m_error;
};

#endif // SIMDVR_H
