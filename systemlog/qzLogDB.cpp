#include "qzLogDB.h"

#include "PendingFile.h"
#include "QDBSqlite.h"
#include "sqlite/Sqlite.h"

#include <QDateTime>
#include <QStringLiteral>

#include <cstdio>
#include <memory>

namespace SystemLog {

namespace {

const QString kDatabaseName = QStringLiteral("dbLog.db");
const QString kSideFileName = QStringLiteral("dbLog.pending.db");

// One cycle stores for at most this long before it commits, so that a burst never keeps the
// file locked against queries for long. Each commit waits for the disk, so much shorter
// batches would cut the rate at which a burst can be stored. At shutdown nobody in this
// process reads any more and larger batches drain the backlog faster.
constexpr int kBatchBudgetMs = 40;
constexpr int kShutdownBatchBudgetMs = 250;

// How long a statement waits for another program's lock before it fails (and is tried again on
// the next cycle). While the store keeps failing, attempts wait less, so that the memory bound
// is checked often: records handed over during one wait are not counted until it ends.
constexpr int kBusyTimeoutMs = Sqlite::kBusyTimeoutMs;
constexpr int kRetryBusyTimeoutMs = 1000;
// When the writer is told to stop, it waits at most this long for a log file that another
// program holds; what is still waiting then goes to the side file, so that a program can always
// exit.
constexpr qint64 kStopWaitMs = 10000;
// While the log is ready, a side file left by earlier runs or other programs is looked for this
// often (and whenever records are to be stored).
constexpr qint64 kSideFileCheckMs = 1000;

// What is said on standard error about a store that cannot take records.
QString stateText(QDBSqlite::Readiness readiness, const QSqlError &error)
{
    return readiness == QDBSqlite::Readiness::NotALog
               ? QStringLiteral("cannot use the log database: %1").arg(error.text())
               : QStringLiteral("the log database is unavailable, records wait: %1")
                     .arg(error.text());
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Memory a waiting record takes: the list node, the string header and its UTF-16 text.
qint64 entryBytes(const LogQueueEntry &entry)
{
    return 80 + 2 * qint64(entry.message.size());
}

} // namespace

qzLogDB::qzLogDB(QObject *parent) : QThread(parent), m_ownerThread(QThread::currentThreadId())
{
    m_pDB = new QDBSqlite(kDatabaseName, QString(), QString());
    QSqlError error;
    const QDBSqlite::Readiness readiness = m_pDB->prepare(&error);
    m_queryStoreReady = readiness == QDBSqlite::Readiness::Ready;
    if (!m_queryStoreReady)
        reportState(stateText(readiness, error));
}

qzLogDB::~qzLogDB()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStop = true;
    }
    wait();
    if (m_pDB) {
        m_pDB->close();
        delete m_pDB;
        m_pDB = nullptr;
    }
    std::size_t left = 0;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        left = m_queue.size();
    }
    if (left > 0) {
        // A writer that ran stores everything handed over up to its stop, or puts it in the side
        // file: what is left here came later, or was never going to be stored.
        m_lost.fetch_add(static_cast<long long>(left), std::memory_order_relaxed);
        std::fprintf(stderr, "SystemLog: %zu log records lost: %s\n", left,
                     m_started ? "handed over after the log writer had stopped"
                               : "the log writer was never started");
    }
}

void qzLogDB::outputLog(int type, const char *msg, int len)
{
    if (!msg || len < 0)
        len = 0;
    // Decode, stamp and allocate the queue node before taking the lock, so that the lock is
    // held only to link the node in.
    std::list<LogQueueEntry> entry;
    entry.emplace_back(QString::fromUtf8(msg, len), type);
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.splice(m_queue.end(), entry);
}

void qzLogDB::startProcess()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStop = false;
    }
    m_started = true;
    start(QThread::InheritPriority);
}

void qzLogDB::stopProcess()
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStop = true;
}

bool qzLogDB::stopRequested()
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    return m_bStop;
}

int qzLogDB::queuedCount()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return static_cast<int>(m_queue.size()) + m_pendingCount.load(std::memory_order_relaxed);
}

void qzLogDB::takeQueued()
{
    std::list<LogQueueEntry> taken;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        taken.swap(m_queue);
    }
    for (const LogQueueEntry &entry : taken)
        m_pendingBytes += entryBytes(entry);
    m_pendingCount.fetch_add(static_cast<int>(taken.size()), std::memory_order_relaxed);
    m_pending.splice(m_pending.end(), taken);
}

void qzLogDB::forgetPending(std::list<LogQueueEntry>::iterator end)
{
    int count = 0;
    for (auto it = m_pending.begin(); it != end; ++it) {
        m_pendingBytes -= entryBytes(*it);
        ++count;
    }
    m_pending.erase(m_pending.begin(), end);
    m_pendingCount.fetch_sub(count, std::memory_order_relaxed);
}

// The writer thread's connection, side file and what it knows about them, and the steps of one
// cycle of its loop (see run()).
class qzLogDB::WriterLoop
{
public:
    enum class Next
    {
        Pause, // sleep, then the next cycle
        Now,   // the next cycle at once (draining a backlog at shutdown)
        End,
    };

    explicit WriterLoop(qzLogDB &writer) : w(writer) {}
    ~WriterLoop() { m_db.close(); }
    WriterLoop(const WriterLoop &) = delete;
    WriterLoop &operator=(const WriterLoop &) = delete;

    // Everything handed over up to the stop request is taken; what comes later is not, so that
    // a stop ends even while some code keeps logging. Returns whether the stop was requested.
    bool takeRecords()
    {
        const bool stopping = w.stopRequested();
        if (!m_finalTaken) {
            w.takeQueued();
            if (stopping) {
                m_finalTaken = true;
                m_stopSeenMs = nowMs();
            }
        }
        m_failed = false;
        m_movingOlder = false;
        return stopping;
    }

    // Beyond the memory bound, records that cannot be stored now go to the side file.
    void spillBeyondMemoryLimit()
    {
        if (m_waiting && w.m_pendingBytes > w.m_memoryLimit)
            w.spillPending(m_sideFile, QStringLiteral("more than %1 MiB of records waiting; %2")
                                           .arg(w.m_memoryLimit / (1024 * 1024))
                                           .arg(m_error.text()));
    }

    // Opens the log and sets up its table, unless it is ready already.
    void setUpLog()
    {
        if (m_readiness == QDBSqlite::Readiness::Ready)
            return;
        m_readiness = m_db.prepare(&m_error);
        m_failed = m_readiness != QDBSqlite::Readiness::Ready;
        if (!m_failed)
            m_nextSideFileCheckMs = 0;
    }

    // Records of the side file are older than any waiting here: they go into the log first.
    void moveSideFileRecords(bool stopping)
    {
        if (m_readiness != QDBSqlite::Readiness::Ready || m_sideFileStuck)
            return;
        const qint64 now = nowMs();
        if (w.m_pending.empty() && now < m_nextSideFileCheckMs)
            return;
        m_nextSideFileCheckMs = now + kSideFileCheckMs;
        int moved = 0;
        const PendingFile::Move move = m_sideFile.moveInto(
            m_db, stopping ? kShutdownBatchBudgetMs : kBatchBudgetMs, &moved, &m_error);
        if (moved > 0)
            std::fprintf(stderr, "SystemLog: %d log records moved from %s into %s\n", moved,
                         qUtf8Printable(kSideFileName), qUtf8Printable(kDatabaseName));
        if (move == PendingFile::Move::Failed) {
            m_failed = true;
            if (QDBSqlite::hasMoved(m_db.nativeHandle())) {
                reopenLog();
            } else if (!QDBSqlite::isBusy(m_error)) {
                // A side file that cannot be read is left for a later start; the records here
                // need not wait for it.
                m_sideFileStuck = true;
                std::fprintf(stderr, "SystemLog: the records in %s stay there: %s\n",
                             qUtf8Printable(kSideFileName), qUtf8Printable(m_error.text()));
            }
        }
        // Records here wait while older ones are still being moved out of the side file.
        m_movingOlder = move != PendingFile::Move::Done && !m_sideFileStuck;
    }

    // Stores a batch of the waiting records in one transaction.
    void storeRecords(bool stopping)
    {
        if (m_readiness != QDBSqlite::Readiness::Ready || m_movingOlder || w.m_pending.empty())
            return;
        const QDBSqlite::BatchResult result =
            m_db.insertBatch(w.m_pending.cbegin(), w.m_pending.cend(),
                             stopping ? kShutdownBatchBudgetMs : kBatchBudgetMs);
        if (result.failed) {
            m_failed = true;
            m_error = result.error;
            if (QDBSqlite::meansNotALog(m_error))
                m_readiness = QDBSqlite::Readiness::NotALog;
            else if (result.moved || !QDBSqlite::isStoreWide(m_error))
                reopenLog(); // the file was replaced, or the table is gone: set it up anew
            return;
        }
        auto end = w.m_pending.begin();
        std::advance(end, result.stored + result.rejected);
        w.forgetPending(end);
        w.countLost(result.rejected, result.error.text());
    }

    // Says what became of the log, sends the records of a file that is no log to the side file
    // and sets how long the next cycle waits for another program's lock.
    void settle(bool stopping)
    {
        w.reportState(m_failed ? stateText(m_readiness, m_error) : QString());
        if (m_readiness == QDBSqlite::Readiness::NotALog)
            w.spillPending(m_sideFile, m_error.text());
        if (!stopping)
            m_db.setBusyTimeout(m_failed ? kRetryBusyTimeoutMs : kBusyTimeoutMs);
        m_waiting = m_failed || m_movingOlder;
    }

    // What comes after this cycle. At a stop, only another program's lock is worth waiting
    // for, and only for so long; what is still waiting then goes to the side file.
    Next next(bool stopping)
    {
        if (!stopping)
            return Next::Pause;
        if (w.m_pending.empty())
            return Next::End;
        const qint64 waited = nowMs() - m_stopSeenMs;
        if (m_failed && (waited >= kStopWaitMs || !QDBSqlite::isBusy(m_error))) {
            w.spillPending(m_sideFile, m_error.text());
            return Next::End;
        }
        m_db.setBusyTimeout(int(qBound<qint64>(1, kStopWaitMs - waited, kBusyTimeoutMs)));
        return m_failed ? Next::Pause : Next::Now;
    }

private:
    void reopenLog()
    {
        m_db.close();
        m_readiness = QDBSqlite::Readiness::Unavailable;
    }

    qzLogDB &w;
    // A connection serves only the thread that opened it: the writer has its own.
    QDBSqlite m_db{kDatabaseName, QString(), QString()};
    PendingFile m_sideFile{kSideFileName};
    QDBSqlite::Readiness m_readiness = QDBSqlite::Readiness::Unavailable;
    QSqlError m_error;
    bool m_finalTaken = false;
    qint64 m_stopSeenMs = -1;
    qint64 m_nextSideFileCheckMs = 0;
    bool m_sideFileStuck = false;
    bool m_waiting = false; // the last cycle left records waiting
    // This cycle: the log or the side file failed; older records are still being moved.
    bool m_failed = false;
    bool m_movingOlder = false;
};

void qzLogDB::run()
{
    {
        WriterLoop loop(*this);
        for (;;) {
            const bool stopping = loop.takeRecords();
            loop.spillBeyondMemoryLimit();
            loop.setUpLog();
            loop.moveSideFileRecords(stopping);
            loop.storeRecords(stopping);
            loop.settle(stopping);
            const WriterLoop::Next next = loop.next(stopping);
            if (next == WriterLoop::Next::End)
                break;
            if (next == WriterLoop::Next::Pause)
                QThread::msleep(static_cast<unsigned long>(qMax(m_sleepMs, 1)));
        }
    }
    reportLoss();
}

void qzLogDB::spillPending(PendingFile &sideFile, const QString &why)
{
    if (m_pending.empty())
        return;
    const long long count = static_cast<long long>(m_pending.size());
    QSqlError sideError;
    if (sideFile.append(m_pending.cbegin(), m_pending.cend(), &sideError)) {
        std::fprintf(stderr, "SystemLog: %lld log records kept in %s: %s\n", count,
                     qUtf8Printable(sideFile.path()), qUtf8Printable(why));
    } else {
        countLost(count, QStringLiteral("neither %1 (%2) nor %3 (%4) can take them")
                             .arg(kDatabaseName, why, sideFile.path(), sideError.text()));
    }
    forgetPending(m_pending.end());
}

void qzLogDB::reportState(const QString &state)
{
    if (state == m_reportedState)
        return;
    if (state.isEmpty())
        std::fprintf(stderr, "SystemLog: the log database takes records again\n");
    else
        std::fprintf(stderr, "SystemLog: %s\n", qUtf8Printable(state));
    m_reportedState = state;
}

void qzLogDB::countLost(long long count, const QString &reason)
{
    if (count <= 0)
        return;
    m_lost.fetch_add(count, std::memory_order_relaxed);
    m_unreportedLost += count;
    m_lossReason = reason;
    // A store that stays unusable loses records every cycle: say so once a second, not
    // once a cycle.
    const qint64 now = nowMs();
    if (m_lastLossReportMs < 0 || now - m_lastLossReportMs >= 1000)
        reportLoss();
}

void qzLogDB::reportLoss()
{
    if (m_unreportedLost == 0)
        return;
    std::fprintf(stderr, "SystemLog: %lld log records lost: %s\n", m_unreportedLost,
                 qUtf8Printable(m_lossReason));
    m_unreportedLost = 0;
    m_lastLossReportMs = nowMs();
}

LogRowList qzLogDB::queryDay(QString day, int type, QSqlError *error)
{
    return queryRange(dayStart(day), dayEnd(day), type, error);
}

LogRowList qzLogDB::queryRange(QString startTime, QString endTime, int type, QSqlError *error)
{
    if (QThread::currentThreadId() == m_ownerThread) {
        // A file that was busy or missing when the service started is set up now, if it can be.
        if (!m_queryStoreReady) {
            QSqlError setupError;
            m_queryStoreReady = m_pDB->prepare(&setupError) == QDBSqlite::Readiness::Ready;
            if (!m_queryStoreReady) {
                if (error)
                    *error = setupError;
                return LogRowList();
            }
        }
        return m_pDB->selectLogs(startTime, endTime, type, error);
    }

    // Another thread asks: it gets a short-lived connection of its own.
    QDBSqlite db(kDatabaseName, QString(), QString());
    if (!db.openExisting(error))
        return LogRowList();
    LogRowList rows = db.selectLogs(startTime, endTime, type, error);
    db.close();
    return rows;
}

} // namespace SystemLog
