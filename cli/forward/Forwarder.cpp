#include "forward/Forwarder.h"

#include "forward/ForwardEncoding.h"
#include "forward/ForwardSender.h"

#include <QThread>

#include <limits>

namespace TallyLog {

namespace {

using SystemLog::LogTail;

// A batch holds at most this many records or about this many bytes: one round trip to the
// receiver, and what is sent again after a failure.
// Few and large, so that the receiver seldom waits between two; each waits in memory twice at
// most (the one on its way and the next).
constexpr qint64 kBatchRecords = 50000;
constexpr size_t kBatchBytes = 12 << 20;
// The first batch after a pause is small, so that the receiver has work at once; each next one,
// read while the one before is on its way, may be this many times larger, up to kBatchRecords:
// a receiver takes in a record several times slower than it is read.
constexpr qint64 kFirstBatchRecords = 1000;
constexpr qint64 kBatchGrowth = 4;
constexpr int kPollMs = 200;
// While a batch is read, the one on its way is moved on after every this many records.
constexpr qint64 kSendingNudge = 1000;
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;
// Without --once a batch may take as long as the receiver keeps taking it in (the senders give
// up on one that stalls).
constexpr int kSendTimeoutMs = std::numeric_limits<int>::max();

} // namespace

Forwarder::Forwarder(ForwardOptions options, RecordEncoder &encoder, ForwardSender &sender,
                     std::function<bool()> stop, std::function<void(const QString &)> say)
    : m_options(std::move(options)), m_encoder(encoder), m_sender(sender), m_stop(std::move(stop)),
      m_say(std::move(say)), m_tail(m_options.dbPath)
{
}

int Forwarder::fail(const QString &what, const QString &reason)
{
    m_say(QStringLiteral("tallylog: %1: %2").arg(what, reason));
    return 1;
}

bool Forwarder::withinTimeout(const QString &reason, int *status)
{
    if (!m_options.once || m_sinceProgress.elapsed() < m_options.timeoutMs)
        return true;
    *status = fail(m_options.receiver, QStringLiteral("%1; gave up after %2 s (--timeout)")
                                           .arg(reason)
                                           .arg(m_options.timeoutMs / 1000));
    return false;
}

int Forwarder::sendTimeoutMs() const
{
    if (!m_options.once)
        return kSendTimeoutMs;
    return static_cast<int>(qMax<qint64>(1, m_options.timeoutMs - m_sinceProgress.elapsed()));
}

void Forwarder::pause(int ms)
{
    for (int waited = 0; waited < ms && !m_stop(); waited += 20)
        QThread::msleep(20);
}

// What a wait for the log says and, with --once, when it gives up (*status); `stop` ends the
// wait then.
struct Forwarder::Waiting
{
    Forwarder &forwarder;
    int *status;
    bool gaveUp = false;

    void operator()(const LogTail::Poll &waiting)
    {
        forwarder.sayState(waiting, status);
        gaveUp = gaveUp || !forwarder.withinTimeout(QStringLiteral("%1: %2").arg(
                                                        forwarder.m_options.dbPath, waiting.reason),
                                                    status);
    }
    std::function<bool()> stop()
    {
        return [this] { return gaveUp || forwarder.m_stop(); };
    }
};

// A log that is busy or locked is waited for, said once; any other failure ends the run.
bool Forwarder::openLog(int *status)
{
    *status = 0;
    Waiting waiting{*this, status};
    const LogTail::Poll opened = m_tail.openWaiting(kPollMs, waiting.stop(), std::ref(waiting));
    if (opened.state == LogTail::State::Reading)
        return true;
    if (opened.state != LogTail::State::Waiting) {
        // A log in WAL mode that no writer has open lacks its -shm and -wal files, which a
        // reader that may not make them cannot do without.
        const bool wal = opened.reason.contains(QLatin1String("readonly database"));
        *status = fail(m_options.dbPath,
                       opened.reason + (wal ? QStringLiteral("; a log in WAL mode needs its -shm "
                                                             "and -wal files, which the "
                                                             "forwarder may not make in its "
                                                             "directory")
                                            : QString()));
    }
    return false;
}

bool Forwarder::startingPoint(int *status)
{
    *status = 0;
    qint64 top = 0;
    Waiting waiting{*this, status};
    const LogTail::Poll read = m_tail.readWaiting(kPollMs, waiting.stop(), std::ref(waiting),
                                                  [&] { return m_tail.reader().maxId(&top); });
    if (read.state != LogTail::State::Reading) {
        if (read.state == LogTail::State::Failed)
            *status = fail(m_options.dbPath, read.reason);
        return false;
    }
    if (m_options.cursorPath.isEmpty()) {
        // From the end, like follow; from the first record when --from names where to start.
        m_delivered = m_options.selection.from.isEmpty() ? top : 0;
        return true;
    }
    m_cursor = std::make_unique<CursorFile>(m_options.cursorPath);
    bool exists = false;
    QString error;
    if (!m_cursor->lock(&error) || !m_cursor->load(&m_delivered, &exists, &error)) {
        *status = fail(m_options.cursorPath, error);
        return false;
    }
    if (top < m_delivered) {
        m_say(QStringLiteral("tallylog: %1: every id is below the cursor's %2 (a new log?); "
                             "forwarding it from its first record")
                  .arg(m_options.dbPath)
                  .arg(m_delivered));
        m_delivered = 0;
    }
    // Written at once: a cursor file that cannot be written is found before anything is sent,
    // and `prune --keep-undelivered` finds it from the start.
    if (!exists || m_delivered == 0) {
        if (!m_cursor->save(m_delivered, &error)) {
            *status = fail(m_options.cursorPath, error);
            return false;
        }
    }
    return true;
}

// With --from, the first record from that moment on is sought once on the index, and the
// batches then read along the ids from there, the moment checked on each row: seeking it again
// for every batch would read the index from the moment to the end each time.
bool Forwarder::seekFrom(int *status)
{
    SystemLog::LogSelection selection = m_options.selection;
    qint64 start = m_delivered;
    if (!selection.from.isEmpty()) {
        SystemLog::LogSelection first = selection;
        first.afterId = m_delivered;
        first.limit = 1;
        first.grep.clear();
        bool found = false;
        Waiting waiting{*this, status};
        const LogTail::Poll read =
            m_tail.readWaiting(kPollMs, waiting.stop(), std::ref(waiting), [&] {
                return m_tail.reader().select(first, [&](const SystemLog::LogRecordView &record) {
                    found = true;
                    start = record.id - 1;
                    return false;
                });
            });
        if (read.state != LogTail::State::Reading) {
            if (read.state == LogTail::State::Failed)
                *status = fail(m_options.dbPath, read.reason);
            return false;
        }
        // Nothing from that moment on yet: the records to come are all after the last one now.
        if (!found && !m_tail.reader().maxId(&start))
            start = m_delivered;
        start = qMax(start, m_delivered);
        selection.alongIds = true;
    }
    m_tail.setSelection(selection);
    m_tail.startAfter(start);
    return true;
}

// Says a state of the log once; false when it ends the run: a log that cannot be read, or one
// gone while --once forwards what there is.
bool Forwarder::sayState(const LogTail::Poll &poll, int *status)
{
    const QString &path = m_options.dbPath;
    switch (poll.state) {
    case LogTail::State::Reading:
        return true;
    case LogTail::State::Failed:
        *status = fail(path, poll.reason);
        return false;
    case LogTail::State::Removed:
        if (m_options.once) {
            *status = fail(path, poll.reason);
            return false;
        }
        if (poll.isNew)
            m_say(QStringLiteral("tallylog: %1: removed; waiting for it to come back").arg(path));
        return true;
    case LogTail::State::Waiting:
        if (poll.isNew)
            m_say(QStringLiteral("tallylog: %1: %2 (still trying)").arg(path, poll.reason));
        return true;
    case LogTail::State::Replaced:
        break;
    }
    m_say(QStringLiteral("tallylog: %1: replaced by another log; forwarding it from its first "
                         "record")
              .arg(path));
    m_delivered = 0;
    ++m_generation;
    m_tail.startAfter(0);
    QString error;
    if (m_cursor && !m_cursor->save(m_delivered, &error)) {
        *status = fail(m_cursor->path(), error);
        return false;
    }
    return true;
}

// Reads the records after the last one read into `batch` (empty: none yet); false when the run
// ends (*status, 0 with `once` when there are no more).
bool Forwarder::readInto(Batch &batch, int *status)
{
    batch.bytes.clear();
    batch.records = 0;
    batch.generation = m_generation;
    const LogTail::Poll poll = m_tail.poll(
        [&](const SystemLog::LogRecordView &record) {
            m_encoder.append(batch.bytes, record);
            if (batch.records % kSendingNudge == kSendingNudge - 1)
                m_sender.keepSending();
            if (batch.records++ == 0)
                batch.first = record.id;
            batch.last = record.id;
            return batch.bytes.size() < kBatchBytes;
        },
        m_batchRecords);
    // Larger while records keep coming, small again after the log's end.
    m_batchRecords = batch.records > 0 && poll.more
                         ? qMin(m_batchRecords * kBatchGrowth, kBatchRecords)
                         : kFirstBatchRecords;
    // (A batch read before the file was replaced is still delivered, for the old log.)
    if (!sayState(poll, status))
        return false;
    if (batch.records > 0 || poll.more)
        return true;
    if (m_options.once && poll.state == LogTail::State::Reading)
        return false;
    return poll.state != LogTail::State::Waiting ||
           withinTimeout(QStringLiteral("%1: %2").arg(m_options.dbPath, poll.reason), status);
}

// Hands m_batch to the sender and, while it is on its way, reads the next one; then takes the
// answer. False when the run ends (*status).
bool Forwarder::deliverBatch(int *status)
{
    QString error;
    m_sender.begin(m_batch.bytes);
    int readStatus = 0;
    const bool readOn = m_next.records > 0 || readInto(m_next, &readStatus);
    const ForwardSender::Result result = m_sender.finish(sendTimeoutMs(), &error);
    if (result == ForwardSender::Result::Stopped)
        return false;
    if (result == ForwardSender::Result::Delivered) {
        if (!confirmed(status))
            return false;
    } else if (!failedToDeliver(result, error, status)) {
        return false;
    }
    // A log that failed (or, with --once, came to its end) while the batch was on its way.
    if (!readOn && m_next.records == 0 && m_batch.records == 0) {
        *status = readStatus;
        return readStatus != 0 ? false : !m_options.once;
    }
    return true;
}

bool Forwarder::failedToDeliver(ForwardSender::Result result, const QString &error, int *status)
{
    // Under --once a refusal ends the run at once; without it the receiver may be mended
    // while the forwarder waits.
    if (m_options.once && result == ForwardSender::Result::Refused) {
        *status = fail(m_options.receiver, error);
        return false;
    }
    if (!withinTimeout(error, status))
        return false;
    if (!m_downReported)
        m_say(QStringLiteral("tallylog: %1: %2; trying again, 1 s to 30 s apart")
                  .arg(m_options.receiver, error));
    m_downReported = true;
    pause(m_options.once ? qMin<qint64>(m_retryMs, sendTimeoutMs()) : m_retryMs);
    m_retryMs = qMin(m_retryMs * 2, kLastRetryMs);
    return true;
}

bool Forwarder::confirmed(int *status)
{
    if (m_downReported)
        m_say(QStringLiteral("tallylog: %1: delivering again").arg(m_options.receiver));
    m_downReported = false;
    m_retryMs = kFirstRetryMs;
    m_sinceProgress.restart();
    if (m_summary.records == 0)
        m_summary.firstId = m_batch.first;
    m_summary.records += m_batch.records;
    m_summary.lastId = m_batch.last;
    m_batch.records = 0;
    std::swap(m_batch, m_next);
    // A batch of a log that has been replaced since moves no cursor of the new one.
    if (m_next.generation != m_generation)
        return true;
    m_delivered = m_next.last;
    QString error;
    if (m_cursor && !m_cursor->save(m_delivered, &error)) {
        *status = fail(m_cursor->path(), error);
        return false;
    }
    return true;
}

int Forwarder::run()
{
    int status = 0;
    m_sinceProgress.start();
    if (!openLog(&status) || !startingPoint(&status) || !seekFrom(&status))
        return status;
    for (Batch *batch : {&m_batch, &m_next})
        batch->bytes.reserve(kBatchBytes + (256 << 10));
    m_retryMs = kFirstRetryMs;
    m_batchRecords = kFirstBatchRecords;
    while (!m_stop()) {
        // A batch the receiver has not confirmed is sent again as it is.
        if (m_batch.records == 0) {
            if (!readInto(m_batch, &status))
                return status;
            if (m_batch.records == 0)
                pause(kPollMs);
        }
        if (m_batch.records > 0 && !deliverBatch(&status))
            return status;
    }
    return 0;
}

} // namespace TallyLog
