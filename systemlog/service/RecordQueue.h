#pragma once

#include "service/LogQueueEntry.h"

#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>

namespace SystemLog {

// The records handed over by any thread and not yet taken by the writer thread. The queue mutex
// is held only to link a node in or to take the whole list.
class RecordQueue
{
public:
    // Queues one record: exactly len bytes of msg, as UTF-8 (see storedUtf8), stamped with the
    // moment of the call.
    void push(int type, const char *msg, int len);
    // Moves every queued record to the end of `into`, in order; returns their estimated memory.
    qint64 takeAll(std::list<LogQueueEntry> &into);

    std::size_t size();
    qint64 bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // Memory a waiting record takes: the list node, the array headers and its UTF-8 bytes.
    static qint64 entryBytes(const LogQueueEntry &entry)
    {
        return 80 + qint64(entry.message.size());
    }

private:
    std::list<LogQueueEntry> m_queue;
    std::atomic<qint64> m_bytes{0};
    std::mutex m_mutex;
};

} // namespace SystemLog
