#ifndef ALARMPAGE_H
#define ALARMPAGE_H

#include <QByteArray>
#include <QMap>

// What one alarm.htm page of an IO module shows. A map is empty when the
// page held no element of its kind.
struct AlarmPage
{
    QMap<int, int> inputs;  // blink elements, numbered from 1: 1 for "on", else 0
    QMap<int, int> outputs; // selects named gpoN: N -> selected value
    QMap<int, int> states;  // selects named gpiN: N -> selected value

    static AlarmPage parse(const QByteArray &page);
};

#endif // ALARMPAGE_H
