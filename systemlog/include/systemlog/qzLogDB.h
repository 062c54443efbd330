#pragma once

#include "LogTypes.h"

#include <QObject>
#include <QSqlError>
#include <QString>
#include <QThread>

#include <atomic>
#include <list>
#include <mutex>

namespace SystemLog {

class PendingFile;
class QDBSqlite;

// The writer thread: any thread hands records to outputLog(), which stamps them with the moment
// of the call and only queues them; the thread stores them in "dbLog.db" every cycle of its
// loop (a 10 ms sleep after each cycle), each cycle's batch in one transaction, in the order in
// which they were queued. While the file is unavailable the records wait and are tried again
// every cycle; beyond a memory bound, at the end of a run that cannot wait any longer, or when
// the file is no log at all, they go to the side file "dbLog.pending.db" (see PendingFile),
// from which the next writer that can store them moves them into the log first.
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
    // With lastId, also the highest id in the table as the list was read (see
    // QDBSqlite::selectLogs): records stored later have higher ids.
    LogRowList queryDay(QString day, int type, QSqlError *error = nullptr,
                        qint64 *lastId = nullptr);
    // Records of `type` from startTime through endTime, both included.
    LogRowList queryRange(QString startTime, QString endTime, int type, QSqlError *error = nullptr,
                          qint64 *lastId = nullptr);

    // How long a query waits for another program's lock on the file before it fails with the
    // database's "database is locked" (5000 ms unless set). Queries run in the caller's thread,
    // so a window sets a wait it can afford to stand still for.
    void setQueryBusyTimeout(int ms);

    // Number of records handed over and not yet stored (for monitoring and tests).
    int queuedCount();
    // Records that were handed over but given up as lost (also reported on standard error).
    long long lostCount() const { return m_lost.load(std::memory_order_relaxed); }

    // Records waiting while the file is unavailable may take this much memory (estimated) before
    // they go to the side file. Set it before startProcess().
    static constexpr qint64 kDefaultMemoryLimit = 32 * 1024 * 1024;
    void setMemoryLimit(qint64 bytes) { m_memoryLimit = bytes; }

public Q_SLOTS:
    // Asks the loop to end once everything queued has been stored; does not wait.
    void stopProcess();

protected:
    void run() override;

private:
    class WriterLoop;
    bool stopRequested(qint64 *requestedMs = nullptr);
    void takeQueued();
    void spillPending(PendingFile &sideFile, const QString &why);
    void forgetPending(std::list<LogQueueEntry>::iterator end);
    void countLost(long long count, const QString &reason);
    void reportLoss();
    void reportState(const QString &state);
    LogRowList queryOwnConnection(const QString &startTime, const QString &endTime, int type,
                                  QSqlError *error);

    QDBSqlite *m_pDB = nullptr;
    bool m_bStop = false;
    qint64 m_stopRequestedMs = -1; // on a monotonic clock, under m_stopMutex
    std::mutex m_stopMutex;
    int m_sleepMs = 10;
    std::list<LogQueueEntry> m_queue;
    std::atomic<qint64> m_queuedBytes{0}; // estimated memory of m_queue
    std::mutex m_queueMutex;

    // The owner thread's connection (m_pDB) is ready for queries; set up again while not.
    // Written by the owner thread; a query of another thread sets up its own connection as the
    // owner's would be set up while this is false.
    std::atomic<bool> m_queryStoreReady{false};
    std::atomic<int> m_queryBusyTimeoutMs{-1}; // < 0: the connection's own
    Qt::HANDLE m_ownerThread = nullptr;
    bool m_started = false;
    qint64 m_memoryLimit = kDefaultMemoryLimit;

    // Writer-thread state: records taken off the queue but not yet stored, their estimated
    // memory, and what was last said about the store.
    std::list<LogQueueEntry> m_pending;
    qint64 m_pendingBytes = 0;
    std::atomic<int> m_pendingCount{0};
    QString m_spillSaid; // why records go to the side file, as last said
    QString m_reportedState;
    std::atomic<long long> m_lost{0};
    long long m_unreportedLost = 0;
    QString m_lossReason;
    qint64 m_lastLossReportMs = -1;
};

} // namespace SystemLog
