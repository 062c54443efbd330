#pragma once

#include "service/LogQueueEntry.h"

#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>

namespace SystemLog {

// The records handed over by any thread and not yet taken by the writer thread, and the count of
// those handed over and not yet done with (stored, sent to the spill journal or given up),
// wherever they wait.
//
// A call of push() makes no allocation of its own: the caller's bytes are copied once, with the
// record's category, moment and local time text, into the free end of a block that holds many
// records (a message longer than kInlineLimit gets an array of its own, made outside the lock).
// The queue mutex is held only for that copy. The writer thread takes every block at once and
// turns the records into entries, with their bytes as they are stored (see storedUtf8).
class RecordQueue
{
public:
    // Messages up to this many bytes are copied into a block under the lock.
    static constexpr int kInlineLimit = 1024;
    static constexpr int kSpareBlocks = 64;

    RecordQueue() = default;
    ~RecordQueue();
    RecordQueue(const RecordQueue &) = delete;
    RecordQueue &operator=(const RecordQueue &) = delete;

    // Queues one record: exactly len bytes of msg, stamped with the moment of the call.
    void push(int type, const char *msg, int len);
    // Moves every queued record to the end of `into`, in order; returns their estimated memory.
    qint64 takeAll(std::list<LogQueueEntry> &into);

    // Records queued and not yet taken.
    std::size_t size();
    // Records handed over and not yet done with: those queued here and those the writer has taken
    // and not yet called done() for. Taking records off the queue leaves it as it is, so it never
    // reads less than what is still to be stored.
    int unfinished() const
    {
        // The records done with were all pushed before: read first, the difference never falls
        // below what is still to be stored.
        const long long done = m_done.load(std::memory_order_acquire);
        return static_cast<int>(m_pushed.load(std::memory_order_acquire) - done);
    }
    // The writer is done with `count` records it took.
    void done(int count) { m_done.fetch_add(count, std::memory_order_acq_rel); }
    qint64 bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // Memory a waiting record takes, as the memory bound counts it: the bookkeeping around it
    // and its UTF-8 bytes.
    static qint64 entryBytes(const LogQueueEntry &entry)
    {
        return queuedBytes(entry.message.size());
    }
    static qint64 queuedBytes(int messageBytes) { return 80 + qint64(messageBytes); }

private:
    struct Block;

    // The steps of takeAll(): every block off the queue, under the lock; emptied blocks back
    // onto the spare list, within its bound.
    Block *detachAll();
    void keepSpares(Block *emptied);

    Block *m_first = nullptr; // oldest records first
    Block *m_last = nullptr;  // where the next record goes
    // Emptied blocks, for the next ones needed: at most kSpareBlocks of them (4 MiB), so that
    // the next burst writes into pages already in memory instead of faulting in fresh ones.
    Block *m_spare = nullptr;
    int m_spareCount = 0;
    std::size_t m_count = 0;
    // Changed only under m_mutex (so a plain load and store suffice), read by anyone.
    std::atomic<qint64> m_bytes{0};
    std::atomic<long long> m_pushed{0};
    std::atomic<long long> m_done{0};
    std::mutex m_mutex;
};

} // namespace SystemLog
