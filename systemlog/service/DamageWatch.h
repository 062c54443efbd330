#pragma once

#include "read/FileState.h"

#include <QByteArray>
#include <QSqlError>

namespace SystemLog {

// The writer's watch for a damaged log. A statement of the writer or a query that met
// SQLITE_CORRUPT or SQLITE_NOTADB on a file that was a log makes the damage suspected; check()
// then confirms it under an exclusive lock and renames a damaged file aside, untouched, so that a
// new log takes the records. Busy is waited out; a file the check finds sound stays in use and is
// checked again only once it changed.
class DamageWatch
{
public:
    enum class Outcome
    {
        None,     // nothing to do, or nothing found
        SetAside, // the damaged log went aside: open a new one
        Moved,    // another took the log's place meanwhile: open that one
    };

    // An error of this writer that may be damage.
    void suspect(const QSqlError &error);
    // Checks a suspected damage; `damageMet` says that a query met it, `logFile` is the file the
    // writer last had ready as its log.
    Outcome check(bool damageMet, const FileIdentity &logFile, int busyTimeoutMs);

private:
    bool m_suspected = false;
    qint64 m_nextCheckMs = 0;  // a check that could not run is tried again from then on
    QByteArray m_soundVersion; // of the file as a check last found it sound
    OnceSaid m_failureSaid;
};

} // namespace SystemLog
