#ifndef IOMODULESTATE_H
#define IOMODULESTATE_H

#include <QByteArray>
#include <QList>
#include <QMap>

class HTTPFetcher;
class QTimer;

// The mirrored state of one IO module and the objects that poll and switch it.
struct IoModuleState
{
    bool active = false; // set by the first state read; polling runs from then on
    QMap<int, int> states;
    QMap<int, int> inputs;
    QMap<int, int> outputs;
    QByteArray stateAnswer; // the state read's answer for the maps above, built when first asked for
    QTimer *timer = nullptr;
    HTTPFetcher *fetcher = nullptr; // reads alarm.htm
    HTTPFetcher *updater = nullptr; // submits output changes
    QList<QMap<int, int>> pendingOutputs; // oldest first
};

#endif // IOMODULESTATE_H
