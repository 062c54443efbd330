#include "qzLogDB.h"

#include <QDateTime>
#include <QStringLiteral>

#include <cstdio>
#include <memory>

namespace SystemLog {

namespace {

const QString kDatabaseName = QStringLiteral("dbLog.db");

// One cycle stores for at most this long before it commits, so that a burst never keeps the
// file locked against queries for long. Each commit waits for the disk, so much shorter
// batches would cut the rate at which a burst can be stored. At shutdown nobody in this
// process reads any more and larger batches drain the backlog faster.
constexpr int kBatchBudgetMs = 40;
constexpr int kShutdownBatchBudgetMs = 250;

// A batch whose transaction keeps failing is tried again on the next cycles; once it has failed
// for this long (or this often while stopping) the store is taken as unusable for it and the
// records are given up, counted on standard error.
constexpr qint64 kGiveUpAfterMs = 3000;
constexpr int kGiveUpAttemptsWhileStopping = 3;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

qzLogDB::qzLogDB(QObject *parent) : QThread(parent), m_ownerThread(QThread::currentThreadId())
{
    m_pDB = new QDBSqlite(kDatabaseName, QString(), QString());
    m_storeUsable = m_pDB->createTable(&m_storeError);
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
    left += m_pending.size();
    if (left > 0) {
        // Only records handed over after the writer was told to stop can end up here.
        std::fprintf(stderr,
                     "SystemLog: %zu log records lost: handed over after the log writer "
                     "had stopped\n",
                     left);
    }
}

void qzLogDB::outputLog(int type, const char *msg, int len)
{
    if (!msg || len < 0)
        len = 0;
    // Decode and allocate the queue node before taking the lock, so that the lock is held
    // only to link the node in.
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
    return static_cast<int>(m_queue.size());
}

void qzLogDB::run()
{
    // A connection serves only the thread that opened it: the writer has its own.
    std::unique_ptr<QDBSqlite> db;
    if (m_storeUsable) {
        db = std::make_unique<QDBSqlite>(kDatabaseName, QString(), QString());
        if (!db->openExisting())
            db.reset();
    }

    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_pending.splice(m_pending.end(), m_queue);
        }
        const bool stopping = stopRequested();
        if (!m_pending.empty())
            storePending(db.get(), stopping);

        if (stopping && m_pending.empty()) {
            // Everything handed over before the stop request is stored; leave only when nothing
            // more has arrived in the meantime.
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_queue.empty())
                break;
            continue;
        }
        if (stopping && m_failedAttempts == 0)
            continue; // draining a backlog at shutdown: no pause between batches
        QThread::msleep(static_cast<unsigned long>(qMax(m_sleepMs, 1)));
    }

    reportLoss();
    if (db)
        db->close();
}

void qzLogDB::storePending(QDBSqlite *db, bool stopping)
{
    if (!db) {
        dropPending(m_storeError.isValid() ? m_storeError.text()
                                           : QStringLiteral("the log database cannot be opened"));
        return;
    }

    const QDBSqlite::BatchResult result = db->insertBatch(
        m_pending.cbegin(), m_pending.cend(), stopping ? kShutdownBatchBudgetMs : kBatchBudgetMs);

    if (result.failed) {
        ++m_failedAttempts;
        if (m_failingSinceMs < 0)
            m_failingSinceMs = nowMs();
        const bool giveUp = stopping ? m_failedAttempts >= kGiveUpAttemptsWhileStopping
                                     : nowMs() - m_failingSinceMs >= kGiveUpAfterMs;
        if (giveUp)
            dropPending(result.error.text());
        return;
    }

    m_failedAttempts = 0;
    m_failingSinceMs = -1;
    const int consumed = result.stored + result.rejected;
    auto end = m_pending.begin();
    std::advance(end, consumed);
    m_pending.erase(m_pending.begin(), end);
    countLost(result.rejected, result.error.text());
}

void qzLogDB::dropPending(const QString &reason)
{
    const std::size_t count = m_pending.size();
    m_pending.clear();
    m_failedAttempts = 0;
    m_failingSinceMs = -1;
    countLost(static_cast<long long>(count), reason);
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
    return queryRange(QStringLiteral("%1 00:00:00").arg(day),
                      QStringLiteral("%2 23:59:59").arg(day), type, error);
}

LogRowList qzLogDB::queryRange(QString startTime, QString endTime, int type, QSqlError *error)
{
    if (!m_storeUsable) {
        if (error)
            *error = m_storeError;
        return LogRowList();
    }
    if (QThread::currentThreadId() == m_ownerThread)
        return m_pDB->selectLogs(startTime, endTime, type, error);

    // Another thread asks: it gets a short-lived connection of its own.
    QDBSqlite db(kDatabaseName, QString(), QString());
    if (!db.openExisting(error))
        return LogRowList();
    LogRowList rows = db.selectLogs(startTime, endTime, type, error);
    db.close();
    return rows;
}

} // namespace SystemLog
