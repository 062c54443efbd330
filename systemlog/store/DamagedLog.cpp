#include "store/DamagedLog.h"

#include "spill/SpillDir.h"
#include "sqlite/Sqlite.h"

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

// The files SQLite keeps beside a database, by the suffix it gives them: the rollback journal
// and the WAL with its index. They belong to the file they lie beside and go with it.
const char *const kCompanions[] = {"-journal", "-wal", "-shm"};

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A free name "<path>.corrupt-<stamp>[-n]": neither it nor any of its companions exists.
QString freeName(const QString &path)
{
    const QString stamp = Spill::asideStamp();
    const auto taken = [](const QString &name) {
        if (exists(name))
            return true;
        for (const char *suffix : kCompanions)
            if (exists(name + QLatin1String(suffix)))
                return true;
        return false;
    };
    QString name = QStringLiteral("%1.corrupt-%2").arg(path, stamp);
    for (int n = 2; taken(name); ++n)
        name = QStringLiteral("%1.corrupt-%2-%3").arg(path, stamp).arg(n);
    return name;
}

// Renames `from` to `to` unless something has that name: in one step where the file system can,
// else after a look (the name was free a moment ago, and only a writer holding the log's lock
// chooses such names). 0 or the errno.
int renameNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (exists(to))
        return EEXIST;
    return ::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
}

void syncDirectory(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Moves the file and its companions to `target`: the companions first, so that a new log made
// at the path never finds a journal or a WAL of the damaged one and rolls it into itself. On a
// failure what was moved goes back. 0 or the errno.
int moveWithCompanions(const QString &path, const QString &target)
{
    QStringList moved;
    int error = 0;
    for (const char *suffix : kCompanions) {
        const QString companion = path + QLatin1String(suffix);
        if (!exists(companion))
            continue;
        error = renameNew(companion, target + QLatin1String(suffix));
        if (error != 0)
            break;
        moved << QLatin1String(suffix);
    }
    if (error == 0)
        error = renameNew(path, target);
    if (error != 0) {
        for (const QString &suffix : moved)
            ::rename(QFile::encodeName(target + suffix).constData(),
                     QFile::encodeName(path + suffix).constData());
        return error;
    }
    syncDirectory(path);
    return 0;
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
    const QString target = freeName(path);
    const int error = moveWithCompanions(path, target);
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
