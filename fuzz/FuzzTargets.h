#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <QByteArray>
#include <QList>

// The entry functions that the fuzzers drive and that the regression test
// replays their corpora through. Each takes one input of arbitrary bytes,
// must neither crash nor hang on any of them, and returns false when a
// property it checks on the way does not hold.
class FuzzTargets
{
public:
    using Entry = bool (*)(const QByteArray &input);

    struct Target
    {
        const char *name; // also the name of its corpus directory
        Entry entry;
    };

    FuzzTargets() = delete;

    static const QList<Target> &all();
    // Null for an unknown name.
    static Entry find(const QByteArray &name);

    // The first byte picks where the rest is cut into pieces; the pieces are
    // fed one by one, and the requests and the final state must be those of
    // the same bytes fed at once.
    static bool httpRequest(const QByteArray &input);
    // The same for responses as the fetcher reads them, the end of the
    // input included; no body may pass the reader's bound.
    static bool httpResponse(const QByteArray &input);
    // An IO module's alarm.htm page.
    static bool alarmPage(const QByteArray &input);
    // The value of an output-change request, as UTF-8.
    static bool outputsRequest(const QByteArray &input);
    // One frame received from Central, handled by the command session of a
    // service whose client id is "site-1", with DVR 3 "North" and IO module
    // 5 "Lobby" loaded. Needs a QCoreApplication.
    static bool commandSession(const QByteArray &input);
    // A session cookie's value: never valid unless signed with the key; one
    // issued for a valid name parses back to what was issued.
    static bool sessionCookie(const QByteArray &input);
};

#endif // FUZZTARGETS_H
