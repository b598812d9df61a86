#include "ZeroMQPrivate.h"

ZeroMQPrivate::~ZeroMQPrivate()
{
    if (m_pushSocket)
        m_pushSocket->close();
    if (m_subSocket)
        m_subSocket->close();
    if (m_monitorSocket)
        m_monitorSocket->close();
    if (m_context)
        m_context->close();
}
