#pragma once

#include "LogTypes.h"

#include <QObject>
#include <QSqlError>
#include <QString>
#include <QThread>

#include <memory>

namespace SystemLog {

// The writer thread: any thread hands records to outputLog(), which stamps them with the moment
// of the call and only queues them; the thread stores them in "dbLog.db" every cycle of its
// loop (a 10 ms sleep after each cycle), each cycle's batch in one transaction, in the order in
// which they were queued. While the file is unavailable the records wait and are tried again
// every cycle; beyond a memory bound, at the end of a run that cannot wait any longer, or when
// the file is no log at all or refuses them, they go to the spill journal "dbLog.spill" beside
// it (plain append-only files), from which the next writer that can store them moves them into
// the log first.
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

    // Whether the index of the listings is being built: at the first start on a log without it,
    // in the background, so that the service starts at once. Queries wait for it meanwhile.
    bool isBuildingIndex() const;

    // Number of records handed over and not yet stored (for monitoring and tests).
    int queuedCount();
    // Records that were handed over but given up as lost (also reported on standard error).
    long long lostCount() const;

    // Records waiting while the file is unavailable may take this much memory (estimated) before
    // they go to the spill journal. Set it before startProcess().
    static constexpr qint64 kDefaultMemoryLimit = 32 * 1024 * 1024;
    void setMemoryLimit(qint64 bytes);

    // The spill journal takes at most `bytes` in all and leaves at least `keepFreePercent` of
    // its file system free; records beyond that are given up and counted as lost. Set it
    // before startProcess().
    static constexpr qint64 kDefaultSpillLimit = qint64(4) * 1024 * 1024 * 1024;
    static constexpr int kDefaultSpillKeepFreePercent = 5;
    void setSpillLimit(qint64 bytes, int keepFreePercent = kDefaultSpillKeepFreePercent);

public Q_SLOTS:
    // Asks the loop to end once everything queued has been stored; does not wait.
    void stopProcess();

protected:
    void run() override;

private:
    // The queue, the stop request, the writer's records and reports, and the query front; kept
    // apart so that what they hold can change without changing this class.
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace SystemLog
