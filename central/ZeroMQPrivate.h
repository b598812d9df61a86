#ifndef ZEROMQPRIVATE_H
#define ZEROMQPRIVATE_H

#include <QString>

#include <zmq.hpp>

#include <atomic>
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
    std::unique_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_subSocket;
    std::unique_ptr<zmq::socket_t> m_pushSocket;
    std::atomic<bool> m_running{false};

    // Reports the SUB socket's lost connections. The library gives up on a
    // connection that broke the protocol (a frame above MaxMessageSize, for
    // one); the loop then connects anew instead of going deaf for good.
    std::unique_ptr<zmq::socket_t> m_monitorSocket;

    // Set by the setters, cleared by stop(): a stop() that overtakes the
    // queued start() keeps that start() from running the loop.
    bool m_armed = false;
    int m_pending = 0;
    std::mutex m_mutex;
    std::condition_variable m_receiverReady;
};

#endif // ZEROMQPRIVATE_H
