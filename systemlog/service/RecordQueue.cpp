#include "service/RecordQueue.h"

#include "service/Utf8Text.h"

namespace SystemLog {

void RecordQueue::push(int type, const char *msg, int len)
{
    if (!msg || len < 0)
        len = 0;
    // Copy, stamp and allocate the node before taking the lock, so that the lock is held only
    // to link the node in.
    std::list<LogQueueEntry> entry;
    entry.emplace_back(storedUtf8(msg, len), type);
    const qint64 entrySize = entryBytes(entry.front());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.splice(m_queue.end(), entry);
    m_bytes.fetch_add(entrySize, std::memory_order_relaxed);
    m_unfinished.fetch_add(1, std::memory_order_relaxed);
}

qint64 RecordQueue::takeAll(std::list<LogQueueEntry> &into)
{
    std::list<LogQueueEntry> taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        taken.swap(m_queue);
    }
    qint64 takenBytes = 0;
    for (const LogQueueEntry &entry : taken)
        takenBytes += entryBytes(entry);
    m_bytes.fetch_sub(takenBytes, std::memory_order_relaxed);
    into.splice(into.end(), taken);
    return takenBytes;
}

std::size_t RecordQueue::size()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

} // namespace SystemLog
