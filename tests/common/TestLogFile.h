#pragma once

// Log files made by tests and benchmarks on their own, without the log service: the table
// statement of "dbLog.db", a connection of the caller's own, and rows with stamps of the caller's
// choice. The statement is a copy of the service's, character for character (217 characters), so
// that a change to the service's statement shows up as a difference.

#include <QFile>
#include <QLatin1Char>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <atomic>

namespace TestLogFile {

// The record count of a test's heaviest cases: a tenth of it in the sanitizer builds, which run
// them ten to fifty times slower; the code they exercise is the same at that size.
constexpr int heavyCount(int records)
{
#ifdef TALLYVIEW_TEST_SANITIZED
    return records / 10;
#else
    return records;
#endif
}

inline QString tableStatement()
{
    const QString tabs(6, QLatin1Char('\t'));
    return QStringLiteral("CREATE TABLE IF NOT EXISTS SystemInfo(") + tabs +
           QStringLiteral("id INTEGER  PRIMARY KEY AUTOINCREMENT UNIQUE ") + tabs +
           QStringLiteral(", datetime DATETIME NOT NULL DEFAULT "
                          "(datetime(CURRENT_TIMESTAMP,'localtime'))  ") +
           tabs + QStringLiteral(", type INT(32) ") + tabs + QStringLiteral(", message TEXT)");
}

// One record of a log file, with a stamp of the caller's choice.
struct Record
{
    QString datetime; // "yyyy-MM-dd hh:mm:ss"
    int type;
    QString message;
};

// Runs work(QSqlDatabase &) on a connection of its own to the file at `path` and returns what it
// returns; false, with a warning, when the file cannot be opened. The connection is removed again
// before returning.
template <typename Work> bool withConnection(const QString &path, Work work)
{
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("test-log-file-%1").arg(++serial);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            ok = work(db);
            db.close();
        } else {
            qWarning("cannot open %s: %s", qPrintable(path), qPrintable(db.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// Runs the statements on the file at `path` in turn; false, with a warning, at the first that
// fails.
inline bool exec(const QString &path, const QStringList &statements)
{
    return withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        for (const QString &statement : statements) {
            if (!query.exec(statement)) {
                qWarning("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
                return false;
            }
        }
        return true;
    });
}

// Creates the table in the file at `path` when it is missing and appends the records (anything
// with the members datetime, type and message), with their own stamps, in one transaction.
template <typename Records> bool writeRecords(const QString &path, const Records &records)
{
    return withConnection(path, [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (!query.exec(tableStatement())) {
            qWarning("schema: %s", qPrintable(query.lastError().text()));
            return false;
        }
        if (!db.transaction())
            return false;
        if (!query.prepare(
                QStringLiteral("INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)")))
            return false;
        for (const auto &r : records) {
            query.addBindValue(r.datetime);
            query.addBindValue(r.type);
            query.addBindValue(r.message);
            if (!query.exec()) {
                qWarning("insert: %s", qPrintable(query.lastError().text()));
                db.rollback();
                return false;
            }
        }
        return db.commit();
    });
}

// Damages the SQLite file at `path` in place, as a failing disk would: "header" overwrites its
// first 100 bytes (no database any more), "middle" and "last" overwrite the page in the middle or
// the last page with a pattern. Returns the file's bytes afterwards (empty on failure).
inline QByteArray damagePage(const QString &path, const QString &where)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return QByteArray();
    const QByteArray header = file.read(100);
    if (header.size() < 100)
        return QByteArray();
    // The page size, big-endian at offset 16 (1 stands for 65536).
    int pageSize =
        (static_cast<unsigned char>(header[16]) << 8) | static_cast<unsigned char>(header[17]);
    if (pageSize == 1)
        pageSize = 65536;
    const qint64 pages = file.size() / pageSize;
    if (pageSize < 512 || pages < 3)
        return QByteArray();
    const qint64 at = where == QLatin1String("header") ? 0
                      : where == QLatin1String("last") ? (pages - 1) * pageSize
                                                       : (pages / 2) * pageSize;
    const int length = where == QLatin1String("header") ? 100 : pageSize;
    if (!file.seek(at) || file.write(QByteArray(length, '\xa5')) != length)
        return QByteArray();
    file.close();
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace TestLogFile
