#include "SystemdNotifier.h"

#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <climits>
#include <cstring>

namespace {

// The socket's address: a path, or an abstract name written with a leading
// '@' that stands for the NUL byte. Empty when the name cannot be one.
QByteArray socketAddress(QByteArray name)
{
    sockaddr_un address = {};
    if (name.size() < 2 || size_t(name.size()) > sizeof address.sun_path || (name[0] != '/' && name[0] != '@'))
        return QByteArray();
    if (name[0] == '@')
        name[0] = '\0';
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    return QByteArray(reinterpret_cast<const char *>(&address), int(offsetof(sockaddr_un, sun_path)) + name.size());
}

// WATCHDOG_USEC counts microseconds; WATCHDOG_PID, when set, names the
// process meant, which a child started by the service is not.
int watchdogMs()
{
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != ::getpid())
        return 0;
    const qulonglong usec = qgetenv("WATCHDOG_USEC").toULongLong();
    return usec > 0 ? int(qBound<qulonglong>(1, usec / 1000, INT_MAX)) : 0;
}

} // namespace

SystemdNotifier::SystemdNotifier(QObject *parent)
    : QObject(parent)
    , m_address(socketAddress(qgetenv("NOTIFY_SOCKET")))
{
    if (!m_address.isEmpty())
        m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_socket >= 0)
        m_watchdogMs = watchdogMs();
}

SystemdNotifier::~SystemdNotifier()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

bool SystemdNotifier::notify(const QByteArray &state)
{
    if (m_socket < 0)
        return false;
    const auto *address = reinterpret_cast<const sockaddr *>(m_address.constData());
    return ::sendto(m_socket, state.constData(), size_t(state.size()), MSG_NOSIGNAL, address, socklen_t(m_address.size())) == state.size();
}

void SystemdNotifier::startWatchdog()
{
    if (m_watchdogMs <= 0 || m_watchdog)
        return;
    m_watchdog = new QTimer(this);
    m_watchdog->setTimerType(Qt::CoarseTimer);
    connect(m_watchdog, &QTimer::timeout, this, [this] { notify(QByteArrayLiteral("WATCHDOG=1")); });
    m_watchdog->start(qMax(1, m_watchdogMs / 2));
}
