#include "forward/Forwarder.h"

#include "forward/ForwardEncoding.h"
#include "forward/ForwardSender.h"

#include <QFile>
#include <QThread>

#include <string>
#include <sys/stat.h>

namespace TallyLog {

namespace {

// A batch holds at most this many records or about this many bytes: one round trip to the
// receiver, and what is sent again after a failure.
constexpr qint64 kBatchRecords = 5000;
constexpr size_t kBatchBytes = 1 << 20;
constexpr int kPollMs = 200;
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;

// The file behind a path (device and inode); {0, 0} when there is none.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &o) const { return device == o.device && inode == o.inode; }
};

FileIdentity identityOf(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {info.st_dev, info.st_ino};
}

} // namespace

Forwarder::Forwarder(ForwardOptions options, RecordEncoder &encoder, ForwardSender &sender,
                     std::function<bool()> stop, std::function<void(const QString &)> say)
    : m_options(std::move(options)), m_encoder(encoder), m_sender(sender), m_stop(std::move(stop)),
      m_say(std::move(say))
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

// A log that is busy or locked is waited for, said once; false for any other failure.
bool Forwarder::busy(const QString &reason)
{
    if (!m_reader.lastErrorIsTransient())
        return false;
    if (!m_busyReported)
        m_say(QStringLiteral("tallylog: %1: %2 (still trying)").arg(m_options.dbPath, reason));
    m_busyReported = true;
    return true;
}

bool Forwarder::openLog(int *status)
{
    *status = 0;
    while (!m_reader.open(m_options.dbPath)) {
        if (!busy(m_reader.errorString())) {
            *status = fail(m_options.dbPath, m_reader.errorString());
            return false;
        }
        pause(kPollMs);
        if (m_stop())
            return false;
    }
    return true;
}

bool Forwarder::startingPoint(int *status)
{
    *status = 0;
    qint64 top = 0;
    while (!m_reader.maxId(&top)) {
        if (!busy(m_reader.errorString())) {
            *status = fail(m_options.dbPath, m_reader.errorString());
            return false;
        }
        pause(kPollMs);
        if (m_stop())
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

// Waits until another connection has changed the log, or until the log file at the path is
// another file (replaced), which is then opened in its place. False when asked to stop.
bool Forwarder::waitForChange(qint64 *version)
{
    const FileIdentity opened = identityOf(m_options.dbPath);
    while (!m_stop()) {
        qint64 now = 0;
        if (m_reader.dataVersion(&now) && now != *version) {
            *version = now;
            return true;
        }
        pause(kPollMs);
        const FileIdentity current = identityOf(m_options.dbPath);
        if (!(current == opened) && !(current == FileIdentity())) {
            m_reader.close();
            *version = -1;
            return true;
        }
    }
    return false;
}

int Forwarder::run()
{
    int status = 0;
    if (!openLog(&status) || !startingPoint(&status))
        return status;

    std::string batch;
    batch.reserve(kBatchBytes + (256 << 10));
    int retryMs = kFirstRetryMs;
    bool downReported = false;
    qint64 version = -1;
    while (!m_stop()) {
        if (!m_reader.isOpen() && !openLog(&status))
            return status;
        SystemLog::LogSelection selection = m_options.selection;
        selection.afterId = m_delivered;
        selection.limit = kBatchRecords;
        batch.clear();
        qint64 last = 0;
        const bool ok = m_reader.select(selection, [&](const SystemLog::LogRecordView &record) {
            m_encoder.append(batch, record);
            last = record.id;
            return batch.size() < kBatchBytes;
        });
        if (!ok) {
            if (!busy(m_reader.errorString()))
                return fail(m_options.dbPath, m_reader.errorString());
            pause(kPollMs);
            continue;
        }
        m_busyReported = false;

        if (last == 0) {
            if (m_options.once)
                return 0;
            qint64 top = 0;
            if (m_delivered > 0 && m_reader.maxId(&top) && top < m_delivered) {
                m_say(QStringLiteral("tallylog: %1: every id is now below %2 (a new log?); "
                                     "forwarding it from its first record")
                          .arg(m_options.dbPath)
                          .arg(m_delivered));
                m_delivered = 0;
                QString error;
                if (m_cursor && !m_cursor->save(m_delivered, &error))
                    return fail(m_cursor->path(), error);
                continue;
            }
            waitForChange(&version);
            continue;
        }

        QString error;
        const ForwardSender::Result result = m_sender.deliver(batch, &error);
        if (result == ForwardSender::Result::Stopped)
            break;
        if (result == ForwardSender::Result::Failed) {
            if (!downReported)
                m_say(QStringLiteral("tallylog: %1: %2; trying again, 1 s to 30 s apart")
                          .arg(m_options.receiver, error));
            downReported = true;
            pause(retryMs);
            retryMs = qMin(retryMs * 2, kLastRetryMs);
            continue;
        }
        if (downReported)
            m_say(QStringLiteral("tallylog: %1: delivering again").arg(m_options.receiver));
        downReported = false;
        retryMs = kFirstRetryMs;
        m_delivered = last;
        if (m_cursor && !m_cursor->save(m_delivered, &error))
            return fail(m_cursor->path(), error);
    }
    return 0;
}

} // namespace TallyLog
