#pragma once

#include "LogTypes.h"

#include <QSqlError>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace SystemLog {

class QDBSqlite;
class WriterReports;

// The service's queries. The thread that made the service (the window's) queries on the store's
// own connection, opened and set up with the log when the service is made; any other thread gets
// a short-lived connection of its own for each query.
//
// A log without the index of the listings (the first start on a log of an older version, which may
// hold millions of records) gets it from a thread of its own, so that the thread that made the
// service goes on at once; queries wait until it is built.
class QueryFront
{
public:
    // Opens "dbLog.db" and creates its table when missing; a store that is not ready is said.
    // A missing index is built in the background.
    explicit QueryFront(WriterReports &reports);
    ~QueryFront();
    QueryFront(const QueryFront &) = delete;
    QueryFront &operator=(const QueryFront &) = delete;

    LogRowList queryRange(const QString &startTime, const QString &endTime, int type,
                          QSqlError *error, qint64 *lastId);
    void setBusyTimeout(int ms);
    // Closes the store's connection (at the service's end); an index being built is given up,
    // to be built at the next start.
    void close();
    // Whether the index is being built (queries wait meanwhile).
    bool isBuildingIndex() const;

private:
    void buildIndex();
    void waitForIndex();
    LogRowList queryOwnConnection(const QString &startTime, const QString &endTime, int type,
                                  QSqlError *error, qint64 *lastId);

    // A query that met a damaged file says so to the writer, which checks it.
    LogRowList noteDamage(LogRowList rows, const QSqlError *error);

    WriterReports &m_reports;
    std::unique_ptr<QDBSqlite> m_store;
    // The owner thread's connection is ready for queries; set up again while not. A query of
    // another thread sets up its own connection as the owner's would be set up while false.
    std::atomic<bool> m_storeReady{false};
    std::atomic<int> m_busyTimeoutMs{-1}; // < 0: the connection's own
    Qt::HANDLE m_ownerThread = nullptr;

    mutable std::mutex m_indexMutex;
    std::condition_variable m_indexBuilt;
    bool m_indexing = false; // guarded by m_indexMutex
    std::atomic<bool> m_stopIndex{false};
    std::thread m_indexThread;
};

} // namespace SystemLog
