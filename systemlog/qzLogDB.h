#pragma once

#include "LogTypes.h"
#include "QDBSqlite.h"

#include <QObject>
#include <QSqlError>
#include <QString>
#include <QThread>

#include <atomic>
#include <list>
#include <mutex>

namespace SystemLog {

// The writer thread: any thread hands records to outputLog(), which only queues them; the
// thread stores them in "dbLog.db" every cycle of its loop (a 10 ms sleep after each cycle),
// each cycle's batch in one transaction, in the order in which they were queued.
// Queries run in the calling thread on a connection of that thread.
class qzLogDB : public QThread
{
    Q_OBJECT

public:
    explicit qzLogDB(QObject *parent = nullptr);
    ~qzLogDB() override;

    // Queues one record: exactly len bytes of msg, decoded as UTF-8. Never waits for the store.
    void outputLog(int type, const char *msg, int len);

    // Clears the stop request and starts the thread.
    void startProcess();

    // Records of `type` from day 00:00:00 through day 23:59:59. On failure the list is empty
    // and *error (if given) holds the database's error; on success *error is cleared.
    LogRowList queryDay(QString day, int type, QSqlError *error = nullptr);
    // Records of `type` from startTime through endTime, both included.
    LogRowList queryRange(QString startTime, QString endTime, int type, QSqlError *error = nullptr);

    // Number of records waiting in the queue (for monitoring and tests).
    int queuedCount();
    // Records that were handed over but given up as lost (also reported on standard error).
    long long lostCount() const { return m_lost.load(std::memory_order_relaxed); }

public Q_SLOTS:
    // Asks the loop to end once everything queued has been stored; does not wait.
    void stopProcess();

protected:
    void run() override;

private:
    bool stopRequested();
    void storePending(QDBSqlite *db, bool stopping);
    void dropPending(const QString &reason);
    void countLost(long long count, const QString &reason);
    void reportLoss();

    QDBSqlite *m_pDB = nullptr;
    bool m_bStop = false;
    std::mutex m_stopMutex;
    int m_sleepMs = 10;
    std::list<LogQueueEntry> m_queue;
    std::mutex m_queueMutex;

    // Set up by the constructor: whether "dbLog.db" can serve as the store, and why not.
    bool m_storeUsable = false;
    QSqlError m_storeError;
    Qt::HANDLE m_ownerThread = nullptr;

    // Writer-thread state: records taken off the queue but not yet stored, and the failing run.
    std::list<LogQueueEntry> m_pending;
    int m_failedAttempts = 0;
    qint64 m_failingSinceMs = -1;
    std::atomic<long long> m_lost{0};
    long long m_unreportedLost = 0;
    QString m_lossReason;
    qint64 m_lastLossReportMs = -1;
};

} // namespace SystemLog
