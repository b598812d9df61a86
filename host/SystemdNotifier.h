#ifndef SYSTEMDNOTIFIER_H
#define SYSTEMDNOTIFIER_H

#include <QByteArray>
#include <QObject>

class QTimer;

// Tells systemd how the service is doing, through the datagram socket that
// NOTIFY_SOCKET names: READY=1, STOPPING=1, STATUS=... and, while systemd
// asks for it, WATCHDOG=1 from the event loop at half the watchdog interval,
// so that a loop that hangs gets the service restarted. Without
// NOTIFY_SOCKET it does nothing.
class SystemdNotifier : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SystemdNotifier)

public:
    explicit SystemdNotifier(QObject *parent = nullptr);
    ~SystemdNotifier() override;

    bool isActive() const { return m_socket >= 0; }
    // The watchdog interval systemd asked for, in milliseconds; 0 for none.
    int watchdogIntervalMs() const { return m_watchdogMs; }

    // One datagram of newline-separated assignments; false when it was not sent.
    bool notify(const QByteArray &state);
    void startWatchdog();

private:
    int m_socket = -1;
    QByteArray m_address; // sockaddr_un of the socket, abstract names included
    int m_watchdogMs = 0;
    QTimer *m_watchdog = nullptr;
};

#endif // SYSTEMDNOTIFIER_H
