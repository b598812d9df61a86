#include "QtHttpAddressCounts.h"

#include <QDateTime>

#include <iterator>

namespace {

constexpr qint64 ReportIntervalMs = 60 * 1000;
// Past this many addresses reported, those of more than a minute ago go.
constexpr int MaxReported = 4 * 1024;

} // namespace

QtHttpAddressCounts::QtHttpAddressCounts(int maxPerAddress, QObject *parent)
    : QObject(parent)
    , m_maxPerAddress(maxPerAddress)
{
}

bool QtHttpAddressCounts::isFull(const QHostAddress &address) const
{
    return m_counts.value(address) >= m_maxPerAddress;
}

bool QtHttpAddressCounts::take(const QtHttpClientWrapper *connection, const QHostAddress &address)
{
    release(connection);
    if (isFull(address))
        return false;
    ++m_counts[address];
    m_places.insert(connection, address);
    return true;
}

void QtHttpAddressCounts::release(const QtHttpClientWrapper *connection)
{
    const auto place = m_places.find(connection);
    if (place == m_places.end())
        return;
    const auto count = m_counts.find(*place);
    if (count != m_counts.end() && --*count <= 0)
        m_counts.erase(count);
    m_places.erase(place);
}

bool QtHttpAddressCounts::isCountedUnder(const QtHttpClientWrapper *connection, const QHostAddress &address) const
{
    const auto place = m_places.constFind(connection);
    return place != m_places.constEnd() && *place == address;
}

bool QtHttpAddressCounts::shouldReport(const QHostAddress &address)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_reported.size() > MaxReported) {
        for (auto it = m_reported.begin(); it != m_reported.end();)
            it = now - *it >= ReportIntervalMs ? m_reported.erase(it) : std::next(it);
    }
    const auto reported = m_reported.constFind(address);
    if (reported != m_reported.constEnd() && now - *reported < ReportIntervalMs)
        return false;
    m_reported.insert(address, now);
    return true;
}
