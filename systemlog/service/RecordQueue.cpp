#include "service/RecordQueue.h"

#include "service/Utf8Text.h"

#include <cstring>
#include <new>
#include <utility>

namespace SystemLog {

namespace {

// One record as push() leaves it in a block: this header, then the message's bytes (rounded up
// to 8), or for a long message the array that holds them.
struct QueuedRecord
{
    qint64 loggedAt;
    qint32 type;
    qint32 length;
    char stamp[kStampLength];
    bool outOfLine;
};

constexpr std::size_t roundUp(std::size_t n)
{
    return (n + 7) & ~std::size_t(7);
}

constexpr std::size_t kHeaderSpan = roundUp(sizeof(QueuedRecord));

// memcpy through the C library's own routine. With the length known to be at most
// kInlineLimit the compiler would copy inline with "rep movs", whose start-up alone costs about
// as much as the library's copy of a typical message; the empty statement hides that bound.
void copyMessage(void *to, const void *from, std::size_t n)
{
    asm("" : "+r"(n));
    std::memcpy(to, from, n);
}

std::size_t recordSpan(int length, bool outOfLine)
{
    return kHeaderSpan + (outOfLine ? roundUp(sizeof(QByteArray)) : roundUp(std::size_t(length)));
}

// Turns the records of `used` bytes of a block into entries at the end of `into`, with their
// bytes as they are stored; `stamp` carries the local time text of the last one, shared by the
// records of one second. Returns their estimated memory.
qint64 takeRecords(unsigned char *data, std::size_t used, std::list<LogQueueEntry> &into,
                   QByteArray &stamp)
{
    qint64 bytes = 0;
    for (std::size_t at = 0; at < used;) {
        unsigned char *p = data + at;
        const auto *record = reinterpret_cast<const QueuedRecord *>(p);
        QByteArray message;
        if (record->outOfLine) {
            auto *longMessage = reinterpret_cast<QByteArray *>(p + kHeaderSpan);
            message = storedUtf8(std::move(*longMessage));
            longMessage->~QByteArray();
        } else {
            message = storedUtf8(reinterpret_cast<const char *>(p + kHeaderSpan), record->length);
        }
        if (stamp.isEmpty() || std::memcmp(stamp.constData(), record->stamp, kStampLength) != 0)
            stamp = QByteArray(record->stamp, kStampLength);
        into.emplace_back(std::move(message), record->type, record->loggedAt, stamp);
        bytes += RecordQueue::entryBytes(into.back());
        at += recordSpan(record->length, record->outOfLine);
    }
    return bytes;
}

} // namespace

// A block of records in the order they were pushed, followed by the next block.
struct RecordQueue::Block
{
    static constexpr std::size_t kSize = 64 * 1024;
    static constexpr std::size_t kDataOffset = roundUp(sizeof(Block *) + sizeof(std::size_t));
    static constexpr std::size_t kCapacity = kSize - kDataOffset;
    static_assert(kCapacity >= kHeaderSpan + std::size_t(kInlineLimit), "a record fits a block");

    Block *next = nullptr;
    std::size_t used = 0;

    unsigned char *data() { return reinterpret_cast<unsigned char *>(this) + kDataOffset; }
    std::size_t room() const { return kCapacity - used; }

    static Block *make() { return new (::operator new(kSize)) Block; }
    static void release(Block *block)
    {
        block->~Block();
        ::operator delete(block);
    }
};

RecordQueue::~RecordQueue()
{
    while (m_first) {
        Block *block = m_first;
        m_first = block->next;
        for (std::size_t at = 0; at < block->used;) {
            unsigned char *p = block->data() + at;
            const auto *record = reinterpret_cast<const QueuedRecord *>(p);
            if (record->outOfLine)
                reinterpret_cast<QByteArray *>(p + kHeaderSpan)->~QByteArray();
            at += recordSpan(record->length, record->outOfLine);
        }
        Block::release(block);
    }
    while (m_spare) {
        Block *block = m_spare;
        m_spare = block->next;
        Block::release(block);
    }
}

void RecordQueue::push(int type, const char *msg, int len)
{
    if (!msg || len < 0)
        len = 0;
    // The clock is read once, and the local time text of its second is the thread's own, made
    // once a second: the call copies it.
    const qint64 secs = LogQueueEntry::currentSecond();
    const char *stamp = localStampChars(secs);
    const bool outOfLine = len > kInlineLimit;
    QByteArray longMessage;
    if (outOfLine)
        longMessage = QByteArray(msg, len);
    const std::size_t span = recordSpan(len, outOfLine);

    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_last || m_last->room() < span) {
        Block *fresh = m_spare;
        if (fresh) {
            m_spare = fresh->next;
            fresh->next = nullptr;
            --m_spareCount;
        } else {
            lock.unlock();
            fresh = Block::make();
            lock.lock();
        }
        if (m_last && m_last->room() >= span) {
            // Another call linked a block in meanwhile: this one waits for the next.
            if (m_spareCount < kSpareBlocks) {
                fresh->next = m_spare;
                m_spare = fresh;
                ++m_spareCount;
            } else {
                Block::release(fresh);
            }
        } else {
            (m_last ? m_last->next : m_first) = fresh;
            m_last = fresh;
        }
    }
    unsigned char *at = m_last->data() + m_last->used;
    auto *record = new (at) QueuedRecord;
    record->loggedAt = secs;
    record->type = type;
    record->length = len;
    std::memcpy(record->stamp, stamp, kStampLength);
    record->outOfLine = outOfLine;
    if (outOfLine)
        new (at + kHeaderSpan) QByteArray(std::move(longMessage));
    else if (len > 0)
        copyMessage(at + kHeaderSpan, msg, std::size_t(len));
    m_last->used += span;
    ++m_count;
    m_bytes.store(m_bytes.load(std::memory_order_relaxed) + queuedBytes(len),
                  std::memory_order_relaxed);
    m_pushed.store(m_pushed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

RecordQueue::Block *RecordQueue::detachAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Block *block = std::exchange(m_first, nullptr);
    m_last = nullptr;
    m_count = 0;
    m_bytes.store(0, std::memory_order_relaxed);
    return block;
}

void RecordQueue::keepSpares(Block *emptied)
{
    if (emptied) {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (emptied && m_spareCount < kSpareBlocks) {
            Block *spare = emptied;
            emptied = spare->next;
            spare->next = m_spare;
            m_spare = spare;
            ++m_spareCount;
        }
    }
    // What the spare list has no room for is given back, outside the lock.
    while (emptied) {
        Block *surplus = emptied;
        emptied = surplus->next;
        Block::release(surplus);
    }
}

qint64 RecordQueue::takeAll(std::list<LogQueueEntry> &into)
{
    Block *block = detachAll();
    std::list<LogQueueEntry> taken;
    qint64 takenBytes = 0;
    QByteArray stamp;         // shared by the records of one second
    Block *emptied = nullptr; // kept for reuse, at most kSpareBlocks of them
    int emptiedCount = 0;
    while (block) {
        takenBytes += takeRecords(block->data(), block->used, taken, stamp);
        Block *next = block->next;
        block->used = 0;
        if (emptiedCount < kSpareBlocks) {
            block->next = emptied;
            emptied = block;
            ++emptiedCount;
        } else {
            Block::release(block);
        }
        block = next;
    }
    keepSpares(emptied);
    into.splice(into.end(), taken);
    return takenBytes;
}

std::size_t RecordQueue::size()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

} // namespace SystemLog
