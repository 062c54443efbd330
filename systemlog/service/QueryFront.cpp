#include "service/QueryFront.h"

#include "service/LogFileNames.h"
#include "service/WriterReports.h"
#include "sqlite/Sqlite.h"
#include "store/DamagedLog.h"
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
// How many steps of the statement run between two looks at whether the service is closing.
constexpr int kIndexStepsBetweenChecks = 1000;

void setError(QSqlError *target, const QSqlError &error)
{
    if (target)
        *target = error;
}

} // namespace

QueryFront::QueryFront(WriterReports &reports)
    : m_reports(reports), m_store(std::make_unique<QDBSqlite>(kDatabaseName, QString(), QString())),
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
    m_stopIndex = true;
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

// On a connection of its own, which close() stops within a few steps of the statement. The writer
// may be building the same index on its connection at the same time: the one that comes second
// waits for the first and then finds the index there.
void QueryFront::buildIndex()
{
    QDBSqlite db(kDatabaseName, QString(), QString());
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kIndexBusyWaitMs));
    if (db.openExisting()) {
        sqlite3_progress_handler(
            db.nativeHandle(), kIndexStepsBetweenChecks,
            [](void *stop) { return static_cast<std::atomic<bool> *>(stop)->load() ? 1 : 0; },
            &m_stopIndex);
        for (int attempt = 0; attempt < kIndexAttempts && !m_stopIndex; ++attempt) {
            QSqlError error;
            if (db.buildIndex(&error) || !QDBSqlite::isBusy(error))
                break;
        }
        sqlite3_progress_handler(db.nativeHandle(), 0, nullptr, nullptr);
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

LogRowList QueryFront::noteDamage(LogRowList rows, const QSqlError *error)
{
    if (error && DamagedLog::isDamageCode(Sqlite::codeOf(*error)))
        m_reports.damageMet();
    return rows;
}

LogRowList QueryFront::queryRange(const QString &startTime, const QString &endTime, int type,
                                  QSqlError *error, qint64 *lastId)
{
    waitForIndex();
    QSqlError failure;
    if (!error)
        error = &failure;
    if (QThread::currentThreadId() == m_ownerThread)
        return noteDamage(queryOwnConnection(startTime, endTime, type, error, lastId), error);

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
            return noteDamage(LogRowList(), error);
        }
    } else if (!db.openExisting(error)) {
        return LogRowList();
    }
    LogRowList rows = db.selectLogs(startTime, endTime, type, error, lastId);
    db.close();
    return noteDamage(rows, error);
}

LogRowList QueryFront::queryOwnConnection(const QString &startTime, const QString &endTime,
                                          int type, QSqlError *error, qint64 *lastId)
{
    // A file that was busy or missing when the service started is set up now, if it can be; so
    // is a new log where the file was replaced (a damaged one set aside, say).
    if (m_storeReady && QDBSqlite::hasMoved(m_store->nativeHandle()))
        m_storeReady = false;
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
