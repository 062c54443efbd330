#pragma once

#include <QtGlobal>

#include <mutex>

namespace SystemLog {

// The writer's stop request and the moment it was first made (on a monotonic clock), under the
// stop mutex, which is never held together with the queue mutex.
class StopRequest
{
public:
    void clear();
    void request();
    // Whether a stop was requested; *requestedMs (if given) is when, -1 when not.
    bool requested(qint64 *requestedMs = nullptr);

private:
    std::mutex m_mutex;
    bool m_stop = false;
    qint64 m_requestedMs = -1;
};

} // namespace SystemLog
