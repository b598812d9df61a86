#ifndef IOMODULESTATE_H
#define IOMODULESTATE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

class HTTPFetcher;
class Poller;

// The mirrored state of one IO module and the objects that poll and switch it.
struct IoModuleState
{
    QMap<int, int> states;
    QMap<int, int> inputs;
    QMap<int, int> outputs;
    QByteArray stateAnswer; // the state read's answer for the maps above, built when first asked for
    Poller *poller = nullptr; // reads alarm.htm; made by the first state read, polls from then on
    HTTPFetcher *updater = nullptr; // submits output changes; made by the first one
    QList<QMap<int, int>> pendingOutputs; // oldest first
    qint64 lastReadMs = 0; // ms since the epoch, 0 for never
    qint64 lastErrorMs = 0;
    QString lastError;
};

#endif // IOMODULESTATE_H
