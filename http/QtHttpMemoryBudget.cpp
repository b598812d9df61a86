#include "QtHttpMemoryBudget.h"

#include "QtHttpClientWrapper.h"

#include <QTimerEvent>

#include <algorithm>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Freed buffers of many connections stay with the allocator, in pieces too
// small for it to give back on its own. Once the holdings have fallen to
// half a peak of at least this much, the free memory is handed back.
constexpr qint64 TrimPeakBytes = 8 * 1024 * 1024;
constexpr int TrimDelayMs = 1000;

} // namespace

QtHttpMemoryBudget::QtHttpMemoryBudget(qint64 limit, QObject *parent)
    : QObject(parent)
    , m_limit(limit)
{
}

void QtHttpMemoryBudget::update(QtHttpClientWrapper *connection, qint64 bytes)
{
    qint64 &held = m_holdings[connection];
    m_held += bytes - held;
    held = bytes;
    m_peak = qMax(m_peak, m_held);
    // Not here and now: the connection reporting may be in the middle of
    // its own work, and may be one of those to close.
    if (isExceeded() && !m_shedTimer.isActive())
        m_shedTimer.start(0, this);
    if (m_peak >= TrimPeakBytes && m_held < m_peak / 2 && !m_trimTimer.isActive())
        m_trimTimer.start(TrimDelayMs, this);
}

void QtHttpMemoryBudget::remove(QtHttpClientWrapper *connection)
{
    const auto it = m_holdings.constFind(connection);
    if (it == m_holdings.constEnd())
        return;
    update(connection, 0);
    m_holdings.remove(connection);
}

void QtHttpMemoryBudget::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_shedTimer.timerId()) {
        m_shedTimer.stop();
        shed();
    } else if (event->timerId() == m_trimTimer.timerId()) {
        m_trimTimer.stop();
        releaseFreedMemory();
    } else {
        QObject::timerEvent(event);
    }
}

void QtHttpMemoryBudget::shed()
{
    if (!isExceeded())
        return;
    std::vector<std::pair<qint64, QtHttpClientWrapper *>> largest;
    largest.reserve(size_t(m_holdings.size()));
    for (auto it = m_holdings.cbegin(); it != m_holdings.cend(); ++it)
        largest.emplace_back(it.value(), it.key());
    std::sort(largest.begin(), largest.end(), [](const auto &a, const auto &b) { return a.first > b.first; });

    const qint64 target = m_limit / 4 * 3;
    const qint64 before = m_held;
    int closed = 0;
    for (const auto &holding : largest) {
        if (m_held <= target)
            break;
        // Closing takes the connection out of the budget.
        holding.second->dropConnection();
        remove(holding.second);
        ++closed;
    }
    emit connectionsShed(closed, before - m_held);
}

void QtHttpMemoryBudget::releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    m_peak = m_held;
}
