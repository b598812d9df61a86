#include "SimIoModule.h"

#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <algorithm>

namespace {

// Two options, "off" first: a reader that takes the first option's value
// when it is the selected one, and 1 otherwise, sees the level either way.
QByteArray selectElement(const QByteArray &name, int level)
{
    return "<select name=\"" + name + "\">"
        + "<option value=\"0\"" + (level ? "" : " selected") + ">off</option>"
        + "<option value=\"1\"" + (level ? " selected" : "") + ">on</option>"
        + "</select>";
}

QByteArray row(const QByteArray &label, int n, const QByteArray &cells)
{
    return "<tr><td>" + label + ' ' + QByteArray::number(n) + "</td>" + cells + "</tr>\n";
}

} // namespace

SimIoModule::SimIoModule(int inputs, int outputs, const QMap<int, int> &follows)
    : m_inputs(qMax(inputs, 0), 0)
    , m_outputs(qMax(outputs, 0), 0)
{
    for (auto it = follows.cbegin(); it != follows.cend(); ++it) {
        if (it.key() >= 1 && it.key() <= m_inputs.size() && it.value() >= 1 && it.value() <= m_outputs.size())
            m_follows.insert(it.key(), it.value());
    }
    updateFollowers();
}

int SimIoModule::input(int n) const
{
    return m_inputs.value(n - 1, 0);
}

int SimIoModule::output(int n) const
{
    return m_outputs.value(n - 1, 0);
}

QList<int> SimIoModule::applyQuery(const QUrlQuery &query)
{
    QList<int> changed;
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const QPair<QString, QString> &item : items) {
        if (!item.first.startsWith(QLatin1String("gpo")))
            continue;
        bool isOutput = false;
        bool isLevel = false;
        const int n = item.first.midRef(3).toInt(&isOutput);
        const int level = item.second.toInt(&isLevel) != 0 ? 1 : 0;
        if (!isOutput || !isLevel || n < 1 || n > m_outputs.size() || m_outputs[n - 1] == level)
            continue;
        m_outputs[n - 1] = level;
        if (!changed.contains(n))
            changed.append(n);
    }
    std::sort(changed.begin(), changed.end());
    updateFollowers();
    return changed;
}

void SimIoModule::updateFollowers()
{
    for (auto it = m_follows.cbegin(); it != m_follows.cend(); ++it)
        m_inputs[it.key() - 1] = m_outputs[it.value() - 1];
}

QByteArray SimIoModule::page() const
{
    QByteArray html = "<html><head><title>IO module</title></head><body>\n"
                      "<!-- simulated module: inputs first, then outputs -->\n"
                      "<form action=\"alarm.htm\" method=\"get\"><table>\n";
    for (int n = 1; n <= m_inputs.size(); ++n) {
        const int level = input(n);
        html += row("Input", n, "<td><blink>" + QByteArray(level ? "on" : "off") + "</blink></td><td>"
                                    + selectElement("gpi" + QByteArray::number(n), level) + "</td>");
    }
    for (int n = 1; n <= m_outputs.size(); ++n)
        html += row("Output", n, "<td>" + selectElement("gpo" + QByteArray::number(n), output(n)) + "</td>");
    html += "</table><input type=\"submit\" value=\"Apply\"></form></body></html>\n";
    return html;
}
