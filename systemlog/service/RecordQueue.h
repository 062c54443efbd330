#pragma once

#include "service/LogQueueEntry.h"

#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>

namespace SystemLog {

// The records handed over by any thread and not yet taken by the writer thread, and the count of
// those handed over and not yet done with (stored, sent to the side file or given up), wherever
// they wait. The queue mutex is held only to link a node in or to take the whole list.
class RecordQueue
{
public:
    // Queues one record: exactly len bytes of msg, as UTF-8 (see storedUtf8), stamped with the
    // moment of the call.
    void push(int type, const char *msg, int len);
    // Moves every queued record to the end of `into`, in order; returns their estimated memory.
    qint64 takeAll(std::list<LogQueueEntry> &into);

    std::size_t size();
    // Records handed over and not yet done with: those queued here and those the writer has taken
    // and not yet called done() for. Taking records off the queue leaves it as it is, so it never
    // reads less than what is still to be stored.
    int unfinished() const { return m_unfinished.load(std::memory_order_acquire); }
    // The writer is done with `count` records it took.
    void done(int count) { m_unfinished.fetch_sub(count, std::memory_order_acq_rel); }
    qint64 bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // Memory a waiting record takes: the list node, the array headers and its UTF-8 bytes.
    static qint64 entryBytes(const LogQueueEntry &entry)
    {
        return 80 + qint64(entry.message.size());
    }

private:
    std::list<LogQueueEntry> m_queue;
    std::atomic<qint64> m_bytes{0};
    std::atomic<int> m_unfinished{0};
    std::mutex m_mutex;
};

} // namespace SystemLog
