#include "read/LogConnection.h"

#include "schema/LogSchema.h"

#include <QFileInfo>

#include <sqlite3.h>

namespace SystemLog {

namespace {

// A writer that died in the middle of a transaction left its journal (or the WAL needs
// recovery): only a connection that may write can undo it, which the next writer does when it
// opens the file. To a reader that only reads this is a passing state, not a broken file.
bool isCrashedWriter(sqlite3 *db, int code)
{
    const int extended = db ? sqlite3_extended_errcode(db) : code;
    return extended == SQLITE_READONLY_ROLLBACK || extended == SQLITE_READONLY_RECOVERY;
}

} // namespace

bool LogConnection::fail(const QString &what)
{
    m_error = what;
    m_transient = false;
    m_damage = false;
    return false;
}

bool LogConnection::failCode(int code, const QString &what)
{
    m_damage = false;
    if (isCrashedWriter(handle(), code)) {
        m_error = QStringLiteral("busy: a writer crashed, waiting for it to be recovered");
        m_transient = true;
        return false;
    }
    m_error = QStringLiteral("%1: %2").arg(what, Sqlite::errorText(handle(), code));
    m_transient = Sqlite::classify(code) == Sqlite::Fault::Busy;
    m_damage = (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB;
    return false;
}

bool LogConnection::failIfClosed()
{
    return isOpen() || fail(QStringLiteral("not open"));
}

void LogConnection::setBusyTimeout(int ms)
{
    m_busyTimeoutMs = ms;
    if (isOpen())
        Sqlite::setBusyTimeout(handle(), ms);
}

// Records are read and deleted in ranges of integer ids. Ids that other programs stored as text,
// blobs or NULL (in a table whose id is not the row's key) fall outside every range: a listing
// would pass them over in silence and a prune would never get past them. Checked are the lowest
// and the highest id in SQLite's order of values (NULL, numbers, texts, blobs), each one step
// along the id's index.
bool LogConnection::checkIntegerIds()
{
    qint64 integerIds = 0;
    const int rc = Sqlite::readNumber(
        handle(),
        "SELECT coalesce((SELECT typeof(id) FROM SystemInfo ORDER BY id LIMIT 1), 'integer') = "
        "'integer' AND coalesce((SELECT typeof(id) FROM SystemInfo ORDER BY id DESC LIMIT 1), "
        "'integer') = 'integer'",
        &integerIds);
    // A damaged page at either end of the table leaves the rest to be read: each listing then
    // reads what it can (the log's own ids are its rowids, integers by construction).
    if (rc != SQLITE_ROW && ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB))
        return true;
    if (rc != SQLITE_ROW)
        return failCode(rc, QStringLiteral("cannot read"));
    if (!integerIds)
        return fail(
            QStringLiteral("not a log database (SystemInfo has ids that are not integers)"));
    return true;
}

bool LogConnection::open(const QString &path, bool writable)
{
    close();
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file"));
    if (info.isDir())
        return fail(QStringLiteral("is a directory"));
    // A pipe would keep the opening waiting for a writer, forever; a device is no log either.
    if (!info.isFile())
        return fail(QStringLiteral("not a regular file"));

    // Without SQLITE_OPEN_CREATE: a file that vanished in the meantime is not made again. A
    // reader is used by one thread at a time (it may be handed to another one), so SQLite's lock
    // around each of its calls is left out: over the millions of rows of a long listing it is a
    // quarter of the time.
    QString reason;
    const int access = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    const int rc = m_connection.open(path, access | SQLITE_OPEN_NOMUTEX, m_busyTimeoutMs, &reason);
    if (rc != SQLITE_OK) {
        fail(QStringLiteral("cannot open: %1").arg(reason));
        m_transient = Sqlite::classify(rc) == Sqlite::Fault::Busy;
        return false;
    }

    // The file must hold the log table with the columns that are read; anything else is not a
    // log, and a prune must not touch it.
    const LogSchema::TableCheck table = LogSchema::check(handle());
    if (table.rc != SQLITE_OK) {
        failCode(table.rc, QStringLiteral("cannot read"));
        const QString text = Sqlite::errorText(handle(), table.rc);
        close();
        if (!m_transient)
            fail(QStringLiteral("not a log database (%1)").arg(text));
        return false;
    }
    m_integerTypes = table.integerTypes;
    if (!table.isLog()) {
        close();
        return fail(QStringLiteral("not a log database (%1)").arg(table.problem()));
    }
    if (!checkIntegerIds()) {
        close();
        return false;
    }
    m_error.clear();
    m_transient = false;
    return true;
}

} // namespace SystemLog
