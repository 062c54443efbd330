#include "store/QDBSqlite.h"

#include "store/StoreErrors.h"

#include "schema/LogSchema.h"
#include "sqlite/MovedFileGuard.h"
#include "sqlite/Sqlite.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <mutex>
#include <set>

namespace SystemLog {

using namespace StoreErrors;

namespace {

// The logs whose index a connection of this process is building (by absolute path). Another
// connection's prepare() leaves the index to it rather than wait behind its lock, which may take
// longer than a statement waits, for the same work.
class IndexesInBuild
{
public:
    static IndexesInBuild &instance()
    {
        static IndexesInBuild building;
        return building;
    }
    bool contains(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_paths.count(path) > 0;
    }
    void add(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paths.insert(path);
    }
    void remove(const QString &path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_paths.find(path);
        if (it != m_paths.end())
            m_paths.erase(it);
    }

private:
    std::mutex m_mutex;
    std::multiset<QString> m_paths;
};

QString absolutePath(const QString &databaseName)
{
    return QFileInfo(databaseName).absoluteFilePath();
}

bool openConnection(QSqlDatabase &db, QSqlError *error)
{
    if (db.isOpen())
        return true;
    if (!db.isValid()) {
        setError(error, makeError(QStringLiteral("the Qt SQLite driver (QSQLITE) is not available"),
                                  QSqlError::ConnectionError));
        return false;
    }
    if (!db.open()) {
        setError(error, db.lastError());
        return false;
    }
    return true;
}

// The batch loop runs on SQLite's own interface, through the handle of this connection: the
// toolkit's per-statement bookkeeping would cost more than the insert itself.
sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    if (!db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

} // namespace

bool QDBSqlite::isStoreWide(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code < 0 || Sqlite::classify(code) != Sqlite::Fault::RecordOnly;
}

bool QDBSqlite::meansNotALog(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code >= 0 && Sqlite::classify(code) == Sqlite::Fault::NotALog;
}

bool QDBSqlite::refusesRecords(const QSqlError &error)
{
    return Sqlite::refusedByTable(Sqlite::extendedCodeOf(error));
}

bool QDBSqlite::isBusy(const QSqlError &error)
{
    const int code = Sqlite::codeOf(error);
    return code >= 0 && Sqlite::classify(code) == Sqlite::Fault::Busy;
}

QDBSqlite::QDBSqlite(const QString &databaseName, const QString &userName, const QString &password)
    : QSqlDatabase(QStringLiteral("QSQLITE"))
{
    // Before the driver opens anything: a connection left on a log that was moved away never
    // touches the files SQLite finds by the log's path (see MovedFileGuard.h).
    Sqlite::guardMovedFiles();
    setDatabaseName(databaseName);
    if (!userName.isEmpty()) {
        setUserName(userName);
        setPassword(password);
    }
    setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(Sqlite::kBusyTimeoutMs));
    // The first handle() registers the handle's type with Qt's type registry. Doing it here, in
    // the thread that creates the connection, puts it before the writer thread and any query
    // thread start, instead of racing (as far as ThreadSanitizer can tell) between them.
    if (driver())
        driver()->handle();
}

QDBSqlite::~QDBSqlite() = default;

bool QDBSqlite::openExisting(QSqlError *error)
{
    QSqlError e;
    if (openConnection(*this, &e))
        return true;
    report("cannot open the log database", e);
    setError(error, e);
    return false;
}

QDBSqlite::Readiness QDBSqlite::prepare(QSqlError *error, IndexBuild index)
{
    if (!isOpen()) {
        const QFileInfo file(databaseName());
        if (file.exists() && !file.isFile()) {
            setError(error,
                     makeError(QStringLiteral("%1 is not a regular file").arg(databaseName()),
                               QSqlError::ConnectionError));
            return Readiness::NotALog;
        }
        if (!openConnection(*this, error))
            return Readiness::Unavailable;
    }
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        setError(error, notOpenError());
        return Readiness::Unavailable;
    }
    // Quiet: a caller that retries decides when a failure is worth reporting.
    const auto notReady = [&](int rc) {
        const QSqlError e = Sqlite::error(handle, rc, QStringLiteral("Unable to set up the log"));
        setError(error, e);
        return meansNotALog(e) ? Readiness::NotALog : Readiness::Unavailable;
    };
    // A commit in a rollback journal mode ends by removing the journal; until the directory is
    // synced as well, a power cut can bring the journal back and roll the committed batch back.
    // EXTRA syncs it (in WAL mode it costs nothing more than FULL).
    Sqlite::exec(handle, "PRAGMA synchronous=EXTRA");
    // An empty file is what a first start that failed (a full disk, say) leaves behind: SQLite
    // takes it for an empty database, and the statements below make it a new log.
    int rc = Sqlite::exec(handle, LogSchema::kCreateTable);
    if (rc != SQLITE_DONE)
        return notReady(rc);
    const LogSchema::TableCheck table = LogSchema::check(handle);
    if (table.rc != SQLITE_OK)
        return notReady(table.rc);
    if (!table.isLog()) {
        setError(error, makeError(QStringLiteral("%1 holds a table SystemInfo without the column "
                                                 "%2: not a log")
                                      .arg(databaseName(), table.missing),
                                  QSqlError::StatementError));
        return Readiness::NotALog;
    }
    if (!table.takesRows) {
        setError(error, makeError(QStringLiteral("%1 holds SystemInfo as a view or a table "
                                                 "without rowid, which cannot take records")
                                      .arg(databaseName()),
                                  QSqlError::StatementError));
        return Readiness::NotALog;
    }
    // Without the index every query scans the whole table, but records can still be stored
    // and listed (a read-only file that predates the index, for example). Another program
    // holding the file is worth waiting for, though: the index is tried again then.
    if (index == IndexBuild::Now &&
        !IndexesInBuild::instance().contains(absolutePath(databaseName()))) {
        rc = Sqlite::exec(handle, LogSchema::kCreateIndex);
        if (rc != SQLITE_DONE && Sqlite::classify(rc) == Sqlite::Fault::Busy)
            return notReady(rc);
    }
    setError(error, QSqlError());
    return Readiness::Ready;
}

bool QDBSqlite::hasIndex()
{
    sqlite3 *handle = nativeHandle();
    qint64 found = 0;
    return handle && Sqlite::readNumber(handle, LogSchema::kIndexExists, &found) == SQLITE_ROW &&
           found > 0;
}

bool QDBSqlite::buildIndex(QSqlError *error)
{
    sqlite3 *handle = nativeHandle();
    if (!handle) {
        setError(error, notOpenError());
        return false;
    }
    const QString path = absolutePath(databaseName());
    IndexesInBuild::instance().add(path);
    const int rc = Sqlite::exec(handle, LogSchema::kCreateIndex);
    IndexesInBuild::instance().remove(path);
    setError(error, rc == SQLITE_DONE
                        ? QSqlError()
                        : Sqlite::error(handle, rc, QStringLiteral("Unable to index the log")));
    return rc == SQLITE_DONE;
}

bool QDBSqlite::createTable(QSqlError *error)
{
    return prepare(error) == Readiness::Ready;
}

sqlite3 *QDBSqlite::nativeHandle() const
{
    return isOpen() ? sqliteHandle(*this) : nullptr;
}

bool QDBSqlite::hasMoved(sqlite3 *handle)
{
    return Sqlite::hasMoved(handle);
}

void QDBSqlite::setBusyTimeout(int ms)
{
    Sqlite::setBusyTimeout(nativeHandle(), ms);
}

} // namespace SystemLog
