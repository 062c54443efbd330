#include "service/WriterLoop.h"

#include "read/FileState.h"
#include "service/DamageWatch.h"
#include "service/LogFileNames.h"
#include "service/MonotonicClock.h"
#include "service/OlderRecords.h"
#include "service/RecordQueue.h"
#include "service/StopRequest.h"
#include "service/WaitingRecords.h"
#include "service/WriterReports.h"
#include "sqlite/Sqlite.h"
#include "store/QDBSqlite.h"

#include <QThread>

#include <sqlite3.h>

#include <iterator>

namespace SystemLog {

namespace {

// A memory bound in the largest unit that still says it: a bound under 1 MiB is not "0 MiB".
QString sizeText(qint64 bytes)
{
    if (bytes >= (qint64(1) << 20))
        return QStringLiteral("%1 MiB").arg(bytes >> 20);
    if (bytes >= 1024)
        return QStringLiteral("%1 KiB").arg(bytes >> 10);
    return QStringLiteral("%1 bytes").arg(bytes);
}

// One cycle stores for at most this long before it commits, so that a burst never keeps the
// file locked against queries for long. Each commit waits for the disk, so much shorter
// batches would cut the rate at which a burst can be stored. At shutdown nobody in this
// process reads any more and larger batches drain the backlog faster.
constexpr int kBatchBudgetMs = 40;
constexpr int kShutdownBatchBudgetMs = 250;

// How long a statement waits for another program's lock before it fails; the cycle then checks
// the memory bound and the stop request and tries again. A lock that lasts less than
// kQuietBusyMs is waited out without a word.
constexpr int kShortWaitMs = 200;
constexpr qint64 kQuietBusyMs = 5000;
// Once the writer is told to stop, it waits at most this long for a log file that another
// program holds; what is still waiting then goes to the spill journal, so that a program can
// always exit.
constexpr qint64 kStopWaitMs = 10000;
// While the log is ready, records that other processes left in the spill journal (or an earlier
// version in its side file) are looked for this often.
constexpr qint64 kSideFileCheckMs = 1000;
// A "dbLog.db" that is no log is looked at again this often, and at once when it changes.
constexpr qint64 kLogRecheckMs = 3000;

// The writer thread's connection, the older records (the spill journal, an old side file) and
// what it knows about them, and the steps of one cycle of its loop (see run()).
class WriterLoop
{
public:
    enum class Next
    {
        Pause, // sleep, then the next cycle
        Now,   // the next cycle at once (draining a backlog at shutdown)
        End,
    };

    explicit WriterLoop(const WriterParts &parts) : w(parts)
    {
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kShortWaitMs));
        m_older.spill().setLimits(parts.spillLimit, parts.spillKeepFreePercent);
    }
    ~WriterLoop()
    {
        m_older.close(m_db);
        m_db.close();
    }
    WriterLoop(const WriterLoop &) = delete;
    WriterLoop &operator=(const WriterLoop &) = delete;

    // Everything handed over up to the stop request is taken; what comes later is not, so that
    // a stop ends even while some code keeps logging. Returns whether the stop was requested.
    bool takeRecords()
    {
        qint64 requestedMs = -1;
        const bool stopping = w.stop.requested(&requestedMs);
        if (!m_finalTaken) {
            w.waiting.takeQueued();
            if (stopping) {
                m_finalTaken = true;
                m_stopSeenMs = requestedMs >= 0 ? requestedMs : monotonicMs();
            }
        }
        m_failed = false;
        m_refused = false;
        m_wrote = false;
        m_movingOlder = false;
        return stopping;
    }

    // Opens the log and sets up its table, unless it is ready already. A file that is no log is
    // looked at again every few seconds, and at once when it is replaced, removed or rewritten,
    // always through a new connection, which sees the file now at the path.
    void setUpLog()
    {
        // A log moved away since the last cycle is left before any statement reads it: the
        // path has a new file (or none), and this connection's statements would only fail.
        if (m_readiness == QDBSqlite::Readiness::Ready && QDBSqlite::hasMoved(m_db.nativeHandle()))
            reopenLog();
        if (m_readiness == QDBSqlite::Readiness::Ready)
            return;
        const qint64 now = monotonicMs();
        if (m_readiness == QDBSqlite::Readiness::NotALog) {
            if (now < m_nextLogCheckMs && fileVersion(kDatabaseName) == m_logIdentity) {
                m_failed = true;
                return;
            }
            m_db.close();
        }
        m_readiness = m_db.prepare(&m_error);
        if (m_readiness == QDBSqlite::Readiness::NotALog) {
            rememberNotALog();
            suspectDamage(m_error);
        }
        m_failed = m_readiness != QDBSqlite::Readiness::Ready;
        if (!m_failed) {
            m_db.setBusyTimeout(kShortWaitMs);
            m_nextLookAroundMs = 0;
            m_logFile = FileIdentity::of(kDatabaseName);
        }
    }

    // Records spilled earlier (and those of an old side file) are older than any waiting here:
    // they go into the log first. Those of other processes are looked for once a second.
    void moveOlderRecords(bool stopping)
    {
        if (m_readiness != QDBSqlite::Readiness::Ready)
            return;
        const qint64 now = monotonicMs();
        const bool lookAround = now >= m_nextLookAroundMs || m_older.othersMoving();
        if (lookAround)
            m_nextLookAroundMs = now + kSideFileCheckMs;
        const OlderRecords::Outcome moved =
            m_older.move(m_db, stopping ? kShutdownBatchBudgetMs : kBatchBudgetMs, lookAround);
        m_wrote = m_wrote || moved.wrote;
        m_movingOlder = moved.waiting;
        if (!moved.failed)
            return;
        m_failed = true;
        m_error = moved.error;
        suspectDamage(m_error);
        if (moved.logMoved)
            reopenLog();
        else if (QDBSqlite::refusesRecords(moved.error))
            refused(moved.error);
    }

    // Stores a batch of the waiting records in one transaction.
    void storeRecords(bool stopping)
    {
        if (m_readiness != QDBSqlite::Readiness::Ready || m_movingOlder || m_failed ||
            w.waiting.empty())
            return;
        const QDBSqlite::BatchResult result =
            m_db.insertBatch(w.waiting.records().cbegin(), w.waiting.records().cend(),
                             stopping ? kShutdownBatchBudgetMs : kBatchBudgetMs);
        if (result.failed) {
            m_failed = true;
            m_error = result.error;
            suspectDamage(m_error);
            if (QDBSqlite::refusesRecords(m_error)) {
                refused(m_error);
            } else if (QDBSqlite::meansNotALog(m_error)) {
                m_readiness = QDBSqlite::Readiness::NotALog;
                rememberNotALog();
            } else if (result.moved || !QDBSqlite::isStoreWide(m_error)) {
                reopenLog(); // the file was replaced, or the table is gone: set it up anew
            }
            return;
        }
        auto end = w.waiting.records().begin();
        std::advance(end, result.stored + result.rejected);
        w.waiting.forget(end);
        w.reports.countLost(result.rejected, result.error.text());
        if (result.stored == 0)
            return;
        m_wrote = true;
        // Ids are handed out in order within the batch's transaction.
        m_older.storedAhead(static_cast<long long>(sqlite3_last_insert_rowid(m_db.nativeHandle())) -
                            result.stored + 1);
    }

    // A damaged log is set aside (see DamageWatch): a new log takes the records from the next
    // cycle on, those waiting here and in the spill journal, without spilling them for the damage
    // or saying it as a state of the log.
    void checkDamage()
    {
        switch (m_damage.check(w.reports.takeDamageMet(), m_logFile, kShortWaitMs)) {
        case DamageWatch::Outcome::SetAside:
            reopenLog();
            m_failed = false;
            m_refused = false;
            return;
        case DamageWatch::Outcome::Moved:
            reopenLog();
            return;
        case DamageWatch::Outcome::None:
            return;
        }
    }

    // Says what became of the log, and sends to the spill journal the records of a file that is
    // no log or refuses them, and those beyond the memory bound.
    void settle()
    {
        sayState();
        if (m_readiness == QDBSqlite::Readiness::NotALog)
            w.waiting.spill(m_older.spill(), m_error.text());
        else if (m_refused)
            w.waiting.spill(m_older.spill(), m_error.text(), true);
        if (!m_finalTaken && w.waiting.bytes() + w.queue.bytes() > w.memoryLimit) {
            w.waiting.takeQueued();
            QString why =
                QStringLiteral("more than %1 of records waiting").arg(sizeText(w.memoryLimit));
            if (m_failed)
                why += QStringLiteral("; ") + m_error.text();
            else if (m_movingOlder)
                why += QStringLiteral("; older records are still being moved");
            // While the log takes records, what the journal cannot take waits for the log:
            // records are given up only when neither can take them.
            w.waiting.spill(m_older.spill(), why, !m_failed);
        }
    }

    // What comes after this cycle. At a stop, only another program's lock is worth waiting
    // for, and only for so long, and so is the move of this process's own spilled records;
    // what is still waiting then goes to the spill journal, behind them.
    Next next(bool stopping)
    {
        if (!stopping)
            return Next::Pause;
        if (w.waiting.empty() && !m_older.spill().ownWaiting())
            return Next::End;
        const bool outOfTime = monotonicMs() - m_stopSeenMs >= kStopWaitMs;
        if (m_readiness == QDBSqlite::Readiness::NotALog ||
            (outOfTime && (m_movingOlder || m_failed)) ||
            (m_failed && !QDBSqlite::isBusy(m_error))) {
            w.waiting.spill(m_older.spill(),
                            m_failed ? m_error.text()
                                     : QStringLiteral("the program ends while older records are "
                                                      "still being moved"));
            return Next::End;
        }
        return m_failed ? Next::Pause : Next::Now;
    }

private:
    // The log refuses every record for a reason of its table or file: what waits goes to the
    // spill journal, whose records are moved once the log takes records again. One text for the
    // move and the insert, so that the state is said once.
    void refused(const QSqlError &error)
    {
        m_failed = true;
        m_refused = true;
        m_error = QSqlError(
            QString(),
            QStringLiteral("%1 refuses records: %2").arg(kDatabaseName, error.databaseText()),
            QSqlError::StatementError, error.nativeErrorCode());
    }

    void suspectDamage(const QSqlError &error) { m_damage.suspect(error); }

    void reopenLog()
    {
        m_db.close();
        m_readiness = QDBSqlite::Readiness::Unavailable;
    }

    void rememberNotALog()
    {
        m_logIdentity = fileVersion(kDatabaseName);
        m_nextLogCheckMs = monotonicMs() + kLogRecheckMs;
    }

    void sayState()
    {
        if (m_failed) {
            // Another program's lock is waited out quietly for a while.
            if (QDBSqlite::isBusy(m_error) && m_readiness != QDBSqlite::Readiness::NotALog) {
                const qint64 now = monotonicMs();
                if (m_busySinceMs < 0)
                    m_busySinceMs = now;
                if (now - m_busySinceMs < kQuietBusyMs)
                    return;
            }
            w.reports.state(WriterReports::stateText(m_readiness, m_error));
        } else if (m_wrote) {
            // Only a write shows that the log takes records again (a full disk still lets a
            // cycle with nothing to store pass).
            m_busySinceMs = -1;
            w.reports.setSpillSaid(QString());
            w.reports.state(QString());
        }
    }

    WriterParts w;
    // A connection serves only the thread that opened it: the writer has its own.
    QDBSqlite m_db{kDatabaseName, QString(), QString()};
    OlderRecords m_older{w.reports};
    QDBSqlite::Readiness m_readiness = QDBSqlite::Readiness::Unavailable;
    QSqlError m_error;
    bool m_finalTaken = false;
    qint64 m_stopSeenMs = -1;
    QByteArray m_logIdentity;      // of "dbLog.db" when it was last found to be no log
    qint64 m_nextLogCheckMs = 0;   // when a file that is no log is looked at again
    qint64 m_nextLookAroundMs = 0; // when older records of others are looked for again
    qint64 m_busySinceMs = -1;     // since when another program holds the log
    FileIdentity m_logFile;        // the file this writer last had ready as its log
    DamageWatch m_damage;
    // This cycle: the log failed; records went into it; older records are still being moved.
    bool m_failed = false;
    bool m_refused = false; // the log refuses every record (see refused())
    bool m_wrote = false;
    bool m_movingOlder = false;
};

} // namespace

void runWriterLoop(const WriterParts &parts)
{
    WriterLoop loop(parts);
    for (;;) {
        const bool stopping = loop.takeRecords();
        loop.setUpLog();
        loop.moveOlderRecords(stopping);
        loop.storeRecords(stopping);
        loop.checkDamage();
        loop.settle();
        const WriterLoop::Next next = loop.next(stopping);
        if (next == WriterLoop::Next::End)
            break;
        if (next == WriterLoop::Next::Pause)
            QThread::msleep(static_cast<unsigned long>(qMax(parts.sleepMs, 1)));
    }
}

} // namespace SystemLog
