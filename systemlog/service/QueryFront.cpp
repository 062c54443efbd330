#include "service/QueryFront.h"

#include "service/LogFileNames.h"
#include "service/WriterReports.h"
#include "store/QDBSqlite.h"

#include <QThread>

#include <sqlite3.h>

namespace SystemLog {

namespace {

// Another program holding the file while the index is built is waited for in short steps, so
// that closing the service never waits long for the builder, for half a minute in all; queries
// wait as long, then run without the index.
constexpr int kIndexBusyWaitMs = 250;
constexpr int kIndexAttempts = 120;

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

} // namespace

QueryFront::QueryFront(WriterReports &reports)
    : m_store(std::make_unique<QDBSqlite>(kDatabaseName, QString(), QString())),
      m_ownerThread(QThread::currentThreadId())
{
    QSqlError error;
    const QDBSqlite::Readiness readiness = m_store->prepare(&error, QDBSqlite::IndexBuild::Later);
    m_storeReady = readiness == QDBSqlite::Readiness::Ready;
    if (!m_storeReady)
        reports.state(WriterReports::stateText(readiness, error));
    else if (!m_store->hasIndex()) {
        m_indexing = true;
        m_indexThread = std::thread([this] { buildIndex(); });
    }
}

QueryFront::~QueryFront()
{
    close();
}

void QueryFront::close()
{
    {
        std::lock_guard<std::mutex> lock(m_indexMutex);
        m_closing = true;
        if (m_indexHandle)
            sqlite3_interrupt(m_indexHandle);
    }
    if (m_indexThread.joinable())
        m_indexThread.join();
    if (m_store)
        m_store->close();
}

bool QueryFront::isBuildingIndex() const
{
    std::lock_guard<std::mutex> lock(m_indexMutex);
    return m_indexing;
}

// On a connection of its own, which close() interrupts. The writer may be building the same index
// on its connection at the same time: the one that comes second waits for the first and then finds
// the index there.
void QueryFront::buildIndex()
{
    QDBSqlite db(kDatabaseName, QString(), QString());
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kIndexBusyWaitMs));
    if (db.openExisting()) {
        std::unique_lock<std::mutex> lock(m_indexMutex);
        m_indexHandle = m_closing ? nullptr : db.nativeHandle();
        for (int attempt = 0; m_indexHandle && attempt < kIndexAttempts; ++attempt) {
            lock.unlock();
            QSqlError error;
            const bool built = db.buildIndex(&error);
            lock.lock();
            if (built || m_closing || !QDBSqlite::isBusy(error))
                break;
        }
        m_indexHandle = nullptr;
    }
    db.close();
    std::lock_guard<std::mutex> lock(m_indexMutex);
    m_indexing = false;
    m_indexBuilt.notify_all();
}

void QueryFront::waitForIndex()
{
    std::unique_lock<std::mutex> lock(m_indexMutex);
    m_indexBuilt.wait(lock, [this] { return !m_indexing; });
}

void QueryFront::setBusyTimeout(int ms)
{
    m_busyTimeoutMs.store(ms);
    if (QThread::currentThreadId() == m_ownerThread) {
        // For the open connection, and for an opening after a failed start.
        m_store->setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(ms));
        m_store->setBusyTimeout(ms);
    }
}

LogRowList QueryFront::queryRange(const QString &startTime, const QString &endTime, int type,
                                  QSqlError *error, qint64 *lastId)
{
    waitForIndex();
    if (QThread::currentThreadId() == m_ownerThread)
        return queryOwnConnection(startTime, endTime, type, error, lastId);

    // Another thread asks: it gets a short-lived connection of its own.
    QDBSqlite db(kDatabaseName, QString(), QString());
    const int busyTimeoutMs = m_busyTimeoutMs.load();
    if (busyTimeoutMs >= 0)
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    if (!m_storeReady.load()) {
        // As the owner's connection would be: set up first, and its failure is the answer.
        QSqlError setupError;
        if (db.prepare(&setupError) != QDBSqlite::Readiness::Ready) {
            setError(error, setupError);
            return LogRowList();
        }
    } else if (!db.openExisting(error)) {
        return LogRowList();
    }
    LogRowList rows = db.selectLogs(startTime, endTime, type, error, lastId);
    db.close();
    return rows;
}

LogRowList QueryFront::queryOwnConnection(const QString &startTime, const QString &endTime,
                                          int type, QSqlError *error, qint64 *lastId)
{
    // A file that was busy or missing when the service started is set up now, if it can be.
    if (!m_storeReady) {
        // Through a new connection: the file at the path may be another one by now.
        m_store->close();
        QSqlError setupError;
        m_storeReady = m_store->prepare(&setupError) == QDBSqlite::Readiness::Ready;
        if (!m_storeReady.load()) {
            setError(error, setupError);
            return LogRowList();
        }
    }
    return m_store->selectLogs(startTime, endTime, type, error, lastId);
}

} // namespace SystemLog
