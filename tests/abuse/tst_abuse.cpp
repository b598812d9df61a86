#include "FakeDvr.h"
#include "HttpTestClient.h"
#include "QDaemonApplication.h"
#include "QtHttpConstants.h"
#include "ServiceProcess.h"
#include "TestSite.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char VIEW_PATH[] = "/North/Main/1";
const QByteArray VIDEO_INDEX = "HTTP/1.1 404 Not found !";

qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User and system time of the process, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// A sanitizer build runs several times slower, keeps freed memory in
// quarantine and shadows the rest: its resident size says nothing about what
// the service holds, and its time-outs need room.
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

bool residentGrowthWithin(qint64 grownKb, qint64 allowedKb)
{
    return sanitized || grownKb < allowedKb;
}

// Read from the kernel's socket tables rather than by connecting, which the
// server would count (and might refuse) as a client.
bool isListening(quint16 port)
{
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields.at(1).endsWith(local) && fields.at(3) == "0A")
                return true;
        }
    }
    return false;
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size());
}

// A loopback connection made with the system calls, for the clients that
// come by the thousand or must keep a tiny receive buffer. Never blocks.
class RawClient
{
public:
    // From 127.0.0.1, or from the address `from` places after it (1: from
    // 127.0.0.2): the service counts connections per client address.
    explicit RawClient(quint16 port, int receiveBuffer = 0, int from = 0)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (from > 0) {
            // The port is chosen at connect time, as without the bind: a port
            // taken at bind time would keep a listener on the wildcard
            // address (another test's server) off it.
            const int noPort = 1;
            ::setsockopt(m_fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
            sockaddr_in source = {};
            source.sin_family = AF_INET;
            source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + quint32(from));
            ::bind(m_fd, reinterpret_cast<sockaddr *>(&source), sizeof source);
        }
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~RawClient() { ::close(m_fd); }
    Q_DISABLE_COPY(RawClient)

    bool isConnected() const
    {
        pollfd p = {m_fd, POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
    }

    // Writes what the socket takes now; the bytes not taken are dropped.
    void send(const QByteArray &bytes) { [[maybe_unused]] ssize_t n = ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL); }

    // Collects what has arrived; true once the peer has closed or reset.
    bool poll()
    {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                if (m_received.size() < 4096)
                    m_received.append(chunk, int(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                m_closed = true;
            return m_closed;
        }
    }

    const QByteArray &received() const { return m_received; }

private:
    int m_fd;
    QByteArray m_received;
    bool m_closed = false;
};

// A browser watching the live stream; counts the frames it receives.
std::unique_ptr<HttpTestClient> startViewer(quint16 port)
{
    auto viewer = std::make_unique<HttpTestClient>(port);
    viewer->get(VIEW_PATH);
    return viewer;
}

} // namespace

// The running service against floods, slow and stalled clients, oversized
// input and descriptor exhaustion; ordinary clients must keep being served
// and the service's memory must stay bounded.
class tst_Abuse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void descriptorLimitIsRaised();
    void connectionFloodOnAVideoPort();
    void descriptorsRunOut();
    void slowLorisClients();
    void stalledViewers();
    void overlongLinesAndHugeBodies();
    void allowedNetworks();
    void oneAddressHoldsItsCap();
    void smuggledRequests_data();
    void smuggledRequests();
    void memoryBudgetHoldsAgainstManyAddresses();

private:
    qint64 pid() const { return m_service->process().processId(); }
    void verifyOthersServed();

    std::unique_ptr<FakeDvr> m_dvr;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<HttpTestClient> m_regular;
    std::unique_ptr<HttpTestClient> m_viewer;
    quint16 m_videoPort = 0;
    quint16 m_eventPort = 0;
};

void tst_Abuse::initTestCase()
{
    struct rlimit limit = {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < rlim_t(2 * QtHttp::MAX_CONNECTIONS + 256))
        QSKIP("the hard descriptor limit is too low for a flood of connections");

    m_dvr = std::make_unique<FakeDvr>();
    m_dvr->setSnapshotSize(100 * 1024);
    m_videoPort = ServiceProcess::freePort();
    m_eventPort = ServiceProcess::freePort();
    m_service = std::make_unique<ServiceProcess>();
    QVERIFY(TestSite::store(m_service->directory(), {{{1, QStringLiteral("North"), m_dvr->host(), {}, {}}},
                                                     {{1, QStringLiteral("Main"), 1, m_dvr->port(), m_videoPort, {1}}},
                                                     {},
                                                     {}}));
    m_service->writeIni(QStringLiteral("eventPort"), QString::number(m_eventPort));
    m_service->writeIni(QStringLiteral("serverSendPort"), QString::number(ServiceProcess::freePort()));
    m_service->writeIni(QStringLiteral("serverRecvPort"), QString::number(ServiceProcess::freePort()));

    // The service inherits a low soft limit and must raise it itself; this
    // process keeps all it may have, for the flood.
    limit.rlim_cur = 1024;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const bool started = m_service->start();
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QVERIFY(started);
    QVERIFY2(m_service->waitForLog(QStringLiteral("VideoServer started on port %1").arg(m_videoPort)),
             qPrintable(m_service->messages().join(QLatin1Char('\n'))));

    m_regular = std::make_unique<HttpTestClient>(m_videoPort);
    QVERIFY(m_regular->open());
    m_viewer = startViewer(m_videoPort);
    QVERIFY(m_viewer->waitForFrames(2));
}

void tst_Abuse::cleanupTestCase()
{
    m_viewer.reset();
    m_regular.reset();
    if (m_service) {
        QVERIFY(m_service->stop(SIGTERM));
        QCOMPARE(m_service->process().exitCode(), 0);
    }
}

// The regular client's kept-alive connection and the viewer, both opened
// before the abuse, and a fresh connection to the events server. The video
// server sends its index pages as 404.
void tst_Abuse::verifyOthersServed()
{
    QCOMPARE(m_regular->get("/").statusLine, VIDEO_INDEX);
    QVERIFY(m_viewer->waitForFrames(2));
    QCOMPARE(HttpTestClient(m_eventPort).get("/").statusLine, QByteArray("HTTP/1.1 200 OK."));
}

void tst_Abuse::descriptorLimitIsRaised()
{
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    const QByteArray text = limits.readAll();
    const QByteArray line = text.mid(text.indexOf("Max open files"), 80).split('\n').first();
    const QList<QByteArray> fields = line.mid(14).simplified().split(' ');
    QVERIFY2(fields.size() >= 2 && fields.at(0) == fields.at(1), line.constData());

    // The descriptor table was grown to its working size before any thread
    // existed, rather than doubled again and again as ports are opened.
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray statusText = status.readAll();
    const QByteArray fdSize = statusText.mid(statusText.indexOf("FDSize:") + 7).split('\n').first().trimmed();
    const qulonglong reserved = std::min<qulonglong>(fields.at(0).toULongLong(), QDaemonApplication::ReservedDescriptors);
    QVERIFY2(fdSize.toULongLong() >= reserved, fdSize.constData());
}

void tst_Abuse::connectionFloodOnAVideoPort()
{
    // The regular client and the viewer hold two of the places.
    const int flood = QtHttp::MAX_CONNECTIONS + 50;
    const int expectedRefusals = flood - (QtHttp::MAX_CONNECTIONS - 2);
    std::vector<std::unique_ptr<RawClient>> clients;
    // From many addresses, each within its own cap.
    for (int i = 0; i < flood; ++i)
        clients.push_back(std::make_unique<RawClient>(m_videoPort, 0, 2 + i / 50));

    // Each starts a request once connected and never ends it. The request
    // time-out cuts them after 30 s; all is over well before.
    std::vector<bool> started(clients.size(), false);
    int refused = 0;
    const QDeadlineTimer deadline(sanitized ? 90000 : 20000);
    while (refused < expectedRefusals && !deadline.hasExpired()) {
        QTest::qWait(50);
        refused = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (!started[i] && clients[i]->isConnected()) {
                clients[i]->send("GET / HTTP/1.1\r\n");
                started[i] = true;
            }
            clients[i]->poll();
            if (clients[i]->received().startsWith("HTTP/1.1 503 \r\n"))
                ++refused;
        }
    }
    QCOMPARE(refused, expectedRefusals);
    for (const auto &client : clients) {
        if (client->received().startsWith("HTTP/1.1 503 "))
            QVERIFY(client->received().contains("Connection: close\r\n"));
        else
            QVERIFY(client->received().isEmpty());
    }

    QCOMPARE(m_regular->get("/").statusLine, VIDEO_INDEX);
    QVERIFY(m_viewer->waitForFrames(2));
    QCOMPARE(m_service->messages().count(QStringLiteral("Refusing clients on port %1: %2 connections open")
                                             .arg(m_videoPort).arg(QtHttp::MAX_CONNECTIONS)),
             1);

    clients.clear();
    HttpTestClient next(m_videoPort);
    QVERIFY(next.open());
    QTRY_COMPARE_WITH_TIMEOUT(next.get("/", {}, 1000).statusLine, VIDEO_INDEX, 20000);
    verifyOthersServed();
}

void tst_Abuse::descriptorsRunOut()
{
    // The sanitizer runtimes open files of their own (the process's memory
    // map) to check a call, and fail in their own way without descriptors.
    if (sanitized)
        QSKIP("not meaningful in a sanitizer build");
    struct rlimit original = {};
    QCOMPARE(::prlimit(pid_t(pid()), RLIMIT_NOFILE, nullptr, &original), 0);
    struct rlimit tight = original;
    tight.rlim_cur = rlim_t(openDescriptors(pid()) + 6);
    QCOMPARE(::prlimit(pid_t(pid()), RLIMIT_NOFILE, &tight, nullptr), 0);
    const auto restore = qScopeGuard([&] { ::prlimit(pid_t(pid()), RLIMIT_NOFILE, &original, nullptr); });

    std::vector<std::unique_ptr<HttpTestClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<HttpTestClient>(m_eventPort));
        QVERIFY(idle.back()->open());
    }
    QTRY_VERIFY(openDescriptors(pid()) >= int(tight.rlim_cur) - 1);

    // Out of descriptors, with connections waiting to be accepted: the
    // service must idle rather than retry accept() in a loop.
    const qint64 before = cpuTicks(pid());
    QTest::qWait(1000);
    const qint64 spent = cpuTicks(pid()) - before;
    QVERIFY2(spent < ::sysconf(_SC_CLK_TCK) / 4, qPrintable(QStringLiteral("%1 ticks in one second").arg(spent)));
    QCOMPARE(m_service->process().state(), QProcess::Running);

    HttpTestClient waiting(m_eventPort);
    QVERIFY(waiting.open());
    idle.clear();
    QCOMPARE(waiting.get("/", {}, 10000).statusLine, QByteArray("HTTP/1.1 200 OK."));

    verifyOthersServed();
}

void tst_Abuse::slowLorisClients()
{
    const qint64 memoryBefore = residentKb(pid());
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 300; ++i)
        slow.push_back(std::make_unique<RawClient>(i % 2 ? m_videoPort : m_eventPort, 0, 2 + i / 100));
    QTRY_VERIFY(std::all_of(slow.cbegin(), slow.cend(), [](const auto &c) { return c->isConnected(); }));
    for (const auto &client : slow)
        client->send("GET / HTTP/1.1\r\n");
    for (int round = 0; round < 6; ++round) {
        QTest::qWait(400);
        for (const auto &client : slow)
            client->send("X-Trickle: 1\r\n");
        verifyOthersServed();
    }
    const qint64 grown = residentKb(pid()) - memoryBefore;
    QVERIFY2(residentGrowthWithin(grown, 16 * 1024), qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
}

// Viewers that never read, with tiny receive buffers: frames they cannot
// take are skipped, so the service holds a few frames for each of them.
void tst_Abuse::stalledViewers()
{
    const int viewers = 40;
    std::vector<std::unique_ptr<RawClient>> stalled;
    for (int i = 0; i < viewers; ++i)
        stalled.push_back(std::make_unique<RawClient>(m_videoPort, 4096));
    QTRY_VERIFY(std::all_of(stalled.cbegin(), stalled.cend(), [](const auto &c) { return c->isConnected(); }));
    const qint64 memoryBefore = residentKb(pid());
    for (const auto &client : stalled)
        client->send(QByteArray("GET ") + VIEW_PATH + " HTTP/1.1\r\n\r\n");

    // At five frames a second, unbounded buffers would grow by
    // 40 viewers * 100 KiB * 25 frames, about 100 MiB.
    QVERIFY(m_viewer->waitForFrames(25, 20000));
    const qint64 grown = residentKb(pid()) - memoryBefore;
    QVERIFY2(residentGrowthWithin(grown, 40 * 1024), qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
    verifyOthersServed();
}

void tst_Abuse::overlongLinesAndHugeBodies()
{
    const qint64 memoryBefore = residentKb(pid());
    const auto open = [this](int i) {
        auto client = std::make_unique<HttpTestClient>(i % 2 ? m_videoPort : m_eventPort);
        return client->open() ? std::move(client) : nullptr;
    };
    std::vector<std::unique_ptr<HttpTestClient>> cut;
    for (int i = 0; i < 20; ++i) {
        cut.push_back(open(i));
        QVERIFY(cut.back());
        if (i % 4 < 2)
            cut.back()->send("GET /" + QByteArray(4 * 1024 * 1024, 'a'));
        else
            cut.back()->send("GET / HTTP/1.1\r\nX-Long: " + QByteArray(4 * 1024 * 1024, 'b') + "\r\n\r\n");
    }
    std::vector<std::unique_ptr<HttpTestClient>> refused;
    for (int i = 0; i < 20; ++i) {
        refused.push_back(open(i));
        QVERIFY(refused.back());
        refused.back()->send("POST / HTTP/1.1\r\nContent-Length: 99999999999999\r\n\r\n" + QByteArray(64 * 1024, 'c'));
    }
    // Bodies within the bound, short of one byte: held until the request time-out.
    std::vector<std::unique_ptr<HttpTestClient>> held;
    for (int i = 0; i < 20; ++i) {
        held.push_back(open(i));
        QVERIFY(held.back());
        held.back()->send("POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(QtHttp::MAX_BODY_SIZE) + "\r\n\r\n"
                          + QByteArray(QtHttp::MAX_BODY_SIZE - 1, 'd'));
    }
    for (const auto &client : cut)
        QVERIFY(client->waitClosed(10000));
    for (const auto &client : refused)
        QVERIFY(client->waitClosed(10000));
    for (const auto &client : held)
        QTRY_COMPARE(client->socket()->bytesToWrite(), qint64(0));
    verifyOthersServed();

    const qint64 grown = residentKb(pid()) - memoryBefore;
    const qint64 allowed = 20 * QtHttp::MAX_BODY_SIZE / 1024 * 2 + 16 * 1024;
    QVERIFY2(residentGrowthWithin(grown, allowed), qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
}

// A separate service whose INI file names the allowed networks: loopback
// is not among the valid ones, and an entry that does not parse is logged.
void tst_Abuse::allowedNetworks()
{
    const quint16 eventPort = ServiceProcess::freePort();
    ServiceProcess service;
    service.writeIni(QStringLiteral("eventPort"), QString::number(eventPort));
    service.writeIni(QStringLiteral("serverSendPort"), QString::number(ServiceProcess::freePort()));
    service.writeIni(QStringLiteral("serverRecvPort"), QString::number(ServiceProcess::freePort()));
    service.writeIni(QStringLiteral("allowedNetworks"), QStringLiteral("10.0.0.0/8, 192.168.7.300/24"));
    QVERIFY(service.start());
    QVERIFY(service.waitForLog(QStringLiteral("  Allowed networks: 10.0.0.0/8")));
    QVERIFY(service.messages().contains(QStringLiteral("  Ignored allowed network: 192.168.7.300/24")));
    // The configuration is logged before the events server listens.
    QTRY_VERIFY_WITH_TIMEOUT(isListening(eventPort), 10000);

    HttpTestClient client(eventPort);
    QCOMPARE(client.get("/").statusLine, QByteArray("HTTP/1.1 403 Forbidden !"));
    QVERIFY(client.waitClosed());
    const QString refusal = QStringLiteral("Refused client 127.0.0.1 on port %1: not in an allowed network").arg(eventPort);
    QVERIFY(service.waitForLog(refusal));
    QCOMPARE(service.messages().count(refusal), 1);
    QVERIFY(service.stop(SIGTERM));
}

// Idle connections from one address take its cap and no more; the rest are
// refused at once, with one log line, and everyone else is served.
void tst_Abuse::oneAddressHoldsItsCap()
{
    const int flood = 2000;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < flood; ++i)
        clients.push_back(std::make_unique<RawClient>(m_videoPort, 0, 200));
    int refused = 0;
    const QDeadlineTimer deadline(sanitized ? 90000 : 20000);
    while (refused < flood - QtHttp::MAX_CONNECTIONS_PER_ADDRESS && !deadline.hasExpired()) {
        QTest::qWait(50);
        refused = int(std::count_if(clients.cbegin(), clients.cend(), [](const auto &client) {
            client->poll();
            return client->received().startsWith("HTTP/1.1 503 \r\n");
        }));
    }
    QCOMPARE(refused, flood - QtHttp::MAX_CONNECTIONS_PER_ADDRESS);
    verifyOthersServed();
    const QString line = QStringLiteral("Refusing client 127.0.0.201 on port %1: %2 connections open from it")
                             .arg(m_videoPort).arg(QtHttp::MAX_CONNECTIONS_PER_ADDRESS);
    QVERIFY2(m_service->waitForLog(line), qPrintable(m_service->messages().join(QLatin1Char('\n'))));
    QCOMPARE(m_service->messages().count(line), 1);
}

void tst_Abuse::smuggledRequests_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("status");
    const QByteArray length = QByteArray::number(int(sizeof "GET /North/Main/1 HTTP/1.1\r\n\r\n" - 1));
    QTest::newRow("length in lower case") << "content-length: " + length << VIDEO_INDEX;
    QTest::newRow("a list of lengths") << "Content-Length: " + length + ", " + length << QByteArray("HTTP/1.1 400 Bad request !");
    QTest::newRow("two lengths") << "Content-Length: 0\r\nContent-Length: " + length << QByteArray("HTTP/1.1 400 Bad request !");
    QTest::newRow("length beside chunked") << "Content-Length: " + length + "\r\nTransfer-Encoding: chunked" << QByteArray("HTTP/1.1 501 ");
}

// A body that is a request for a live stream never starts one.
void tst_Abuse::smuggledRequests()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, status);
    HttpTestClient client(m_videoPort);
    QVERIFY(client.open());
    client.send("POST / HTTP/1.1\r\n" + head + "\r\n\r\nGET /North/Main/1 HTTP/1.1\r\n\r\n");
    HttpResponse response;
    QVERIFY(client.next(&response));
    QCOMPARE(response.statusLine, status);
    if (status == VIDEO_INDEX)
        QCOMPARE(client.get("/").statusLine, VIDEO_INDEX);
    else
        QVERIFY(client.waitClosed());
}

// Heads held unfinished on both ports from many addresses, more than the
// budget in all: the connections holding the most are closed, the resident
// size stays far from what they sent, and it comes back down once they go.
void tst_Abuse::memoryBudgetHoldsAgainstManyAddresses()
{
    const qint64 memoryBefore = residentKb(pid());
    QByteArray head = "GET / HTTP/1.1\r\n";
    while (head.size() < QtHttp::MAX_HEAD_SIZE - 1024)
        head += "X-Pad: " + QByteArray(QtHttp::MAX_LINE_LENGTH - 16, 'p') + "\r\n";
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 2400; ++i)
        clients.push_back(std::make_unique<RawClient>(i % 2 ? m_videoPort : m_eventPort, 0, 2 + i / 50));
    QTRY_VERIFY(std::all_of(clients.cbegin(), clients.cend(), [](const auto &c) { return c->isConnected(); }));
    for (const auto &client : clients)
        client->send(head);
    QTRY_VERIFY_WITH_TIMEOUT(!m_service->messages().filter(QStringLiteral("HTTP connections holding")).isEmpty(),
                             sanitized ? 90000 : 20000);
    QVERIFY(m_service->messages().filter(QStringLiteral("HTTP connections holding")).first().endsWith(
        QStringLiteral("the memory budget of %1 bytes was spent").arg(QtHttp::MEMORY_BUDGET)));
    const qint64 grown = residentKb(pid()) - memoryBefore;
    QVERIFY2(residentGrowthWithin(grown, 200 * 1024), qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
    verifyOthersServed();

    clients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(residentGrowthWithin(residentKb(pid()) - memoryBefore, 32 * 1024), 10000);
}

QTEST_GUILESS_MAIN(tst_Abuse)
#include "tst_abuse.moc"
