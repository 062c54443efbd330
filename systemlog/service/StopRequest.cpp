#include "service/StopRequest.h"

#include "service/MonotonicClock.h"

namespace SystemLog {

void StopRequest::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = false;
    m_requestedMs = -1;
}

void StopRequest::request()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stop)
        m_requestedMs = monotonicMs();
    m_stop = true;
}

bool StopRequest::requested(qint64 *requestedMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (requestedMs)
        *requestedMs = m_requestedMs;
    return m_stop;
}

} // namespace SystemLog
