#ifndef ZEROMQPRIVATE_H
#define ZEROMQPRIVATE_H

#include <QByteArray>
#include <QString>

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// The state of one ZeroMQ transport. The receive loop runs on the worker
// thread while send() and stop() come from the main thread; m_mutex orders
// everything the two share: the context, the PUSH socket, the count of
// frames the receiver has not taken yet, and the arming of the next start.
struct ZeroMQPrivate
{
    ZeroMQPrivate() = default;
    ~ZeroMQPrivate();
    Q_DISABLE_COPY(ZeroMQPrivate)

    QString m_topic;
    QString m_subEndpoint;
    QString m_pushEndpoint;
    QByteArray m_serverKey;
    QByteArray m_publicKey;
    QByteArray m_secretKey;
    std::unique_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_subSocket;
    std::unique_ptr<zmq::socket_t> m_pushSocket;
    std::atomic<bool> m_running{false};
    // Always polled, never connected: terminating the context wakes the
    // loop through it even while the link's sockets are closed.
    std::unique_ptr<zmq::socket_t> m_wakeSocket;

    // Report the connections of the SUB (0) and PUSH (1) socket.
    std::unique_ptr<zmq::socket_t> m_monitors[2];
    // Whether the socket's current connection completed its handshake.
    bool m_handshaken[2] = {false, false};
    // Monitor endpoints are unique for each generation of sockets.
    int m_generation = 0;

    // The last state reported, so that an outage is reported once; a link
    // that comes up at the first try is not worth a report.
    int m_reported = 0;
    // When a connection ended, the sockets are made anew at m_rebuildAt;
    // the delay doubles while the link does not come up.
    bool m_rebuildPending = false;
    std::chrono::steady_clock::time_point m_rebuildAt;
    int m_rebuildDelayMs = 0;

    // Set by the setters, cleared by stop(): a stop() that overtakes the
    // queued start() keeps that start() from running the loop.
    bool m_armed = false;
    int m_pending = 0;
    std::mutex m_mutex;
    std::condition_variable m_receiverReady;
};

#endif // ZEROMQPRIVATE_H
