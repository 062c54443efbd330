#include "service/QueryFront.h"

#include "service/LogFileNames.h"
#include "service/WriterReports.h"
#include "store/QDBSqlite.h"

#include <QThread>

namespace SystemLog {

namespace {

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
    const QDBSqlite::Readiness readiness = m_store->prepare(&error);
    m_storeReady = readiness == QDBSqlite::Readiness::Ready;
    if (!m_storeReady)
        reports.state(WriterReports::stateText(readiness, error));
}

QueryFront::~QueryFront()
{
    close();
}

void QueryFront::close()
{
    if (m_store)
        m_store->close();
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
