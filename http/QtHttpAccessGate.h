#ifndef QTHTTPACCESSGATE_H
#define QTHTTPACCESSGATE_H

class QtHttpReply;
class QtHttpRequest;

// Decides on every complete request before the server's requestNeedsReply
// handlers see it. The server only asks; what a gate checks is its own affair.
class QtHttpAccessGate
{
public:
    enum Decision {
        Pass,   // the handlers answer the request
        Answer, // the gate filled the reply; it goes out as it is
        Hold,   // the gate answers later: the connection keeps the request,
                // reads nothing more, and asks again once the gate calls
                // QtHttpClientWrapper::resumeHeldRequest()
    };

    virtual ~QtHttpAccessGate() = default;
    virtual Decision decide(QtHttpRequest *request, QtHttpReply *reply) = 0;
};

#endif // QTHTTPACCESSGATE_H
