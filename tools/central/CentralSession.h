#ifndef CENTRALSESSION_H
#define CENTRALSESSION_H

#include "LayoutPage.h"

#include "proto/svc.pb.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class CentralLink;

// Central's side of the conversation with the services of one site. It
// pings at a fixed interval with a number drawn at start, so that every
// service that hears it registers; it answers each registration with a
// hello, the site configuration and the configured layout pages, and it
// reports one line for every packet a service sends.
class CentralSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CentralSession)

public:
    static constexpr const char *Topic = "services";

    CentralSession(CentralLink *link, const SystemData &site, const QList<LayoutPage> &layouts, QObject *parent = nullptr);

    qint32 pingNumber() const { return m_pingNumber; }

    // Pings at once, then every intervalMs.
    void start(int intervalMs);

signals:
    void report(const QString &line);

private slots:
    void onFrameReceived(const QByteArray &frame);
    void sendPing();

private:
    void answerRegistration(const Packet &packet);
    void send(const Packet &packet, const QString &what);

    CentralLink *m_link;
    SystemData m_site;
    QList<LayoutPage> m_layouts;
    qint32 m_pingNumber;
    QTimer m_pingTimer;
};

#endif // CENTRALSESSION_H
