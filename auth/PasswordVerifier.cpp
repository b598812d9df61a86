#include "PasswordVerifier.h"

#include "PasswordHash.h"

#include <QRunnable>

PasswordVerifier::PasswordVerifier(QObject *parent)
    : QObject(parent)
{
    // Two at a time leaves the rest of the machine to the video.
    m_pool.setMaxThreadCount(2);
}

PasswordVerifier::~PasswordVerifier()
{
    m_pool.clear();
    m_pool.waitForDone();
}

bool PasswordVerifier::verify(quint64 ticket, const QByteArray &record, const QByteArray &password)
{
    if (m_pending >= MaxPending)
        return false;
    ++m_pending;
    m_pool.start(QRunnable::create([this, ticket, record, password] {
        bool ok = false;
        if (record.isEmpty())
            PasswordHash::spendVerification(password);
        else
            ok = PasswordHash::verify(record, password);
        QMetaObject::invokeMethod(this, [this, ticket, ok] {
            --m_pending;
            emit verified(ticket, ok);
        }, Qt::QueuedConnection);
    }));
    return true;
}
