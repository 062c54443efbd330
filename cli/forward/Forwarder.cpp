#include "forward/Forwarder.h"

#include "forward/ForwardEncoding.h"
#include "forward/ForwardSender.h"

#include <QThread>

namespace TallyLog {

namespace {

using SystemLog::LogTail;

// A batch holds at most this many records or about this many bytes: one round trip to the
// receiver, and what is sent again after a failure.
constexpr qint64 kBatchRecords = 5000;
constexpr size_t kBatchBytes = 1 << 20;
constexpr int kPollMs = 200;
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;

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

void Forwarder::pause(int ms)
{
    for (int waited = 0; waited < ms && !m_stop(); waited += 20)
        QThread::msleep(20);
}

// A log that is busy or locked is waited for, said once; any other failure ends the run.
bool Forwarder::openLog(int *status)
{
    *status = 0;
    const LogTail::Poll opened = m_tail.openWaiting(
        kPollMs, m_stop, [&](const LogTail::Poll &waiting) { sayState(waiting, status); });
    if (opened.state == LogTail::State::Reading)
        return true;
    if (opened.state != LogTail::State::Waiting)
        *status = fail(m_options.dbPath, opened.reason);
    return false;
}

bool Forwarder::startingPoint(int *status)
{
    *status = 0;
    qint64 top = 0;
    const LogTail::Poll read = m_tail.readWaiting(
        kPollMs, m_stop, [&](const LogTail::Poll &waiting) { sayState(waiting, status); },
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
    if (!m_cursor->load(&m_delivered, &exists, &error)) {
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
    m_tail.startAfter(0);
    QString error;
    if (m_cursor && !m_cursor->save(m_delivered, &error)) {
        *status = fail(m_cursor->path(), error);
        return false;
    }
    return true;
}

bool Forwarder::readBatch(int *status)
{
    m_batch.clear();
    m_batchLast = 0;
    const LogTail::Poll poll = m_tail.poll(
        [&](const SystemLog::LogRecordView &record) {
            m_encoder.append(m_batch, record);
            m_batchLast = record.id;
            return m_batch.size() < kBatchBytes;
        },
        kBatchRecords);
    if (!sayState(poll, status))
        return false;
    if (m_batchLast != 0 || poll.more)
        return true;
    if (m_options.once && poll.state == LogTail::State::Reading)
        return false;
    pause(kPollMs);
    return true;
}

bool Forwarder::deliverBatch(int *status)
{
    QString error;
    const ForwardSender::Result result = m_sender.deliver(m_batch, &error);
    if (result == ForwardSender::Result::Stopped)
        return false;
    if (result == ForwardSender::Result::Failed) {
        if (!m_downReported)
            m_say(QStringLiteral("tallylog: %1: %2; trying again, 1 s to 30 s apart")
                      .arg(m_options.receiver, error));
        m_downReported = true;
        pause(m_retryMs);
        m_retryMs = qMin(m_retryMs * 2, kLastRetryMs);
        return true;
    }
    if (m_downReported)
        m_say(QStringLiteral("tallylog: %1: delivering again").arg(m_options.receiver));
    m_downReported = false;
    m_retryMs = kFirstRetryMs;
    m_delivered = m_batchLast;
    m_batchLast = 0;
    if (m_cursor && !m_cursor->save(m_delivered, &error)) {
        *status = fail(m_cursor->path(), error);
        return false;
    }
    return true;
}

int Forwarder::run()
{
    int status = 0;
    if (!openLog(&status) || !startingPoint(&status))
        return status;
    m_tail.setSelection(m_options.selection);
    m_tail.startAfter(m_delivered);
    m_batch.reserve(kBatchBytes + (256 << 10));
    m_retryMs = kFirstRetryMs;
    while (!m_stop()) {
        // A batch the receiver has not confirmed is sent again as it is.
        if (m_batchLast == 0 && !readBatch(&status))
            return status;
        if (m_batchLast != 0 && !deliverBatch(&status))
            return status;
    }
    return 0;
}

} // namespace TallyLog
