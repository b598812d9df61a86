#ifndef SIMIOMODULE_H
#define SIMIOMODULE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QVector>

class QUrlQuery;

// The state of a simulated IO module: numbered inputs and outputs, each 0 or
// 1, and inputs wired to follow an output the way a door contact follows
// the lock it belongs to. It renders its alarm.htm page and takes output
// changes as that page's query (gpoN=value).
class SimIoModule
{
public:
    // follows maps an input number to the output number it mirrors; pairs
    // outside the module's range are ignored.
    SimIoModule(int inputs, int outputs, const QMap<int, int> &follows);

    int inputCount() const { return m_inputs.size(); }
    int outputCount() const { return m_outputs.size(); }
    // Numbers count from 1; a number out of range reads 0.
    int input(int n) const;
    int output(int n) const;

    // Applies every gpoN item of the query whose N is an output and whose
    // value is a decimal number (non-zero means on); gpi items are ignored,
    // since inputs are driven by what they are wired to. Returns the
    // numbers of the outputs that changed, ascending.
    QList<int> applyQuery(const QUrlQuery &query);

    QByteArray page() const;

private:
    void updateFollowers();

    QVector<int> m_inputs;
    QVector<int> m_outputs;
    QMap<int, int> m_follows;
};

#endif // SIMIOMODULE_H
