#include "store/DamagedLog.h"

#include "spill/SpillDir.h"
#include "sqlite/Sqlite.h"
#include "store/SetAside.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog::DamagedLog {

namespace {

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// What PRAGMA quick_check says of the open file: "ok" (empty reason) or what it found.
int quickCheck(sqlite3 *db, QString *found)
{
    Sqlite::Statement check(db, "PRAGMA quick_check(10)");
    QStringList lines;
    int rc;
    while ((rc = check.step()) == SQLITE_ROW) {
        const std::string_view line = check.text(0);
        lines << QString::fromUtf8(line.data(), int(line.size()));
    }
    if (rc != SQLITE_DONE)
        return rc;
    lines.removeAll(QStringLiteral("ok"));
    // "*** in database main ***" heads the findings; it says nothing of them.
    *found = lines.join(QStringLiteral("; "))
                 .remove(QStringLiteral("*** in database main ***\n"))
                 .replace(QLatin1Char('\n'), QStringLiteral("; "));
    return SQLITE_DONE;
}

Verdict verdict(Verdict::Kind kind, const QString &reason = QString())
{
    Verdict v;
    v.kind = kind;
    v.reason = reason;
    return v;
}

} // namespace

bool isDamageCode(int code)
{
    return (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB;
}

bool hasSqliteMagic(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(16) == QByteArray("SQLite format 3", 16);
}

Verdict confirmAndSetAside(const QString &path, int busyWaitMs)
{
    Sqlite::Connection connection;
    QString why;
    // Never created: a file that has gone is not made again here.
    int rc = connection.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, busyWaitMs, &why);
    if (rc != SQLITE_OK)
        return verdict(exists(path) ? Verdict::Kind::Unavailable : Verdict::Kind::Moved, why);
    sqlite3 *db = connection.handle();
    // Closing must neither checkpoint a WAL into the file nor remove the WAL by its name, which
    // by then may be the new log's.
    int on = 1;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &on);
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &on);

    // The exclusive lock keeps every other writer out from the check to the rename. Taking it
    // reads the file's first page, which may be the damaged one.
    rc = Sqlite::exec(db, "BEGIN EXCLUSIVE");
    QString found;
    if (rc == SQLITE_DONE) {
        if (Sqlite::hasMoved(db)) {
            Sqlite::exec(db, "ROLLBACK");
            return verdict(Verdict::Kind::Moved);
        }
        rc = quickCheck(db, &found);
        if (rc == SQLITE_DONE && found.isEmpty()) {
            Sqlite::exec(db, "ROLLBACK");
            return verdict(Verdict::Kind::Sound);
        }
    }
    if (rc != SQLITE_DONE) {
        const QString text = Sqlite::errorText(db, rc);
        if (Sqlite::classify(rc) == Sqlite::Fault::Busy)
            return verdict(Verdict::Kind::Busy, text);
        if (!isDamageCode(rc))
            return verdict(Verdict::Kind::Unavailable, text);
        // Without the lock (the first page cannot be read, so no lock was taken) the file is
        // still the one that failed as long as nobody moved it.
        if (Sqlite::hasMoved(db))
            return verdict(Verdict::Kind::Moved);
        found = text;
    }
    const QString target = SetAside::freeName(path, QStringLiteral("corrupt"));
    const int error = SetAside::moveWithCompanions(path, target);
    Sqlite::exec(db, "ROLLBACK");
    if (error != 0)
        return verdict(Verdict::Kind::Unavailable,
                       QStringLiteral("it is damaged (%1), but cannot be renamed to %2: %3")
                           .arg(found, target, QString::fromLocal8Bit(std::strerror(error))));
    Verdict v = verdict(Verdict::Kind::SetAside, found);
    v.setAsideAs = target;
    return v;
}

QStringList setAsideBeside(const QString &path)
{
    const QFileInfo log(path);
    static const QRegularExpression companion(QStringLiteral("-(journal|wal|shm)$"));
    QStringList names;
    const QStringList found = log.absoluteDir().entryList(
        {log.fileName() + QStringLiteral(".corrupt-*")}, QDir::Files, QDir::Name);
    for (const QString &name : found)
        if (!companion.match(name).hasMatch())
            names << name;
    return names;
}

} // namespace SystemLog::DamagedLog
