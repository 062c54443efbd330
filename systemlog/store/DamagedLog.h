#pragma once

#include <QString>
#include <QStringList>

namespace SystemLog {

// A log file that SQLite found damaged (SQLITE_CORRUPT, SQLITE_NOTADB) is confirmed before
// anything is done about it, and then renamed aside untouched, so that a new log can take the
// records and the damaged one can still be read. Only ever for a file that was a log: a foreign
// file at the log's name is left where it is.
namespace DamagedLog {

// Whether SQLite's result code (primary or extended) says that the file is damaged or no
// database.
bool isDamageCode(int code);

// Whether the file at `path` begins with SQLite's magic ("SQLite format 3"): a damaged SQLite
// database rather than a file of another kind.
bool hasSqliteMagic(const QString &path);

struct Verdict
{
    enum class Kind
    {
        SetAside,    // confirmed damaged and renamed to `setAsideAs`
        Sound,       // the check found nothing: the file stays in use
        Busy,        // another connection holds the file: try again later
        Moved,       // the file at the path is not the one checked any more (set aside by another
                     // writer, replaced, removed): open the log anew
        Unavailable, // the check could not run (an I/O error, no permission, the rename
                     // failed): try again later; `reason` says why
    };
    Kind kind = Kind::Unavailable;
    QString reason;     // SetAside: what the check found; Unavailable: why it could not run
    QString setAsideAs; // SetAside: the new name, in the log's directory
};

// Checks the log at `path` with PRAGMA quick_check under an exclusive lock (waiting at most
// `busyWaitMs` for it) and, when it is damaged, renames it, its rollback journal and its WAL
// files to "<name>.corrupt-<yyyyMMdd-hhmmss>" (and "-journal", "-wal", "-shm"; ".2", ".3"
// ... when that name is taken) while the lock is still held. Nothing is written into the file.
Verdict confirmAndSetAside(const QString &path, int busyWaitMs);

// The damaged logs set aside beside the log at `path` ("dbLog.db.corrupt-..."), oldest name
// first, without their companion files.
QStringList setAsideBeside(const QString &path);

} // namespace DamagedLog
} // namespace SystemLog
