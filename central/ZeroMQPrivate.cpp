#include "ZeroMQPrivate.h"

ZeroMQPrivate::~ZeroMQPrivate()
{
    if (m_pushSocket)
        m_pushSocket->close();
    if (m_subSocket)
        m_subSocket->close();
    for (auto &monitor : m_monitors) {
        if (monitor)
            monitor->close();
    }
    if (m_wakeSocket)
        m_wakeSocket->close();
    if (m_context)
        m_context->close();
}
