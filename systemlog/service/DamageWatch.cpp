#include "service/DamageWatch.h"

#include "service/LogFileNames.h"
#include "service/MonotonicClock.h"
#include "sqlite/Sqlite.h"
#include "store/DamagedLog.h"

#include <QFileInfo>

#include <cstdio>

namespace SystemLog {

namespace {

// A check that could not run, or found the file sound, is not made again before this.
constexpr qint64 kRecheckMs = 3000;

// Whether the file at the log's name was a log: the one the writer had ready, or a damaged
// SQLite database. A file of another kind that the writer never had is left alone.
bool wasALog(const FileIdentity &logFile)
{
    const FileIdentity now = FileIdentity::of(kDatabaseName);
    return now.exists && (now == logFile || DamagedLog::hasSqliteMagic(kDatabaseName));
}

} // namespace

void DamageWatch::suspect(const QSqlError &error)
{
    if (DamagedLog::isDamageCode(Sqlite::codeOf(error)))
        m_suspected = true;
}

DamageWatch::Outcome DamageWatch::check(bool damageMet, const FileIdentity &logFile,
                                        int busyTimeoutMs)
{
    if (damageMet)
        m_suspected = true;
    if (!m_suspected)
        return Outcome::None;
    const qint64 now = monotonicMs();
    const QByteArray version = fileVersion(kDatabaseName);
    if (now < m_nextCheckMs || version == m_soundVersion)
        return Outcome::None;
    m_suspected = false;
    if (!wasALog(logFile))
        return Outcome::None;
    const DamagedLog::Verdict verdict =
        DamagedLog::confirmAndSetAside(kDatabaseName, busyTimeoutMs);
    switch (verdict.kind) {
    case DamagedLog::Verdict::Kind::SetAside:
        std::fprintf(stderr,
                     "SystemLog: %s is damaged (%s): set aside as %s, untouched; a new %s takes "
                     "the records\n",
                     qUtf8Printable(kDatabaseName), qUtf8Printable(verdict.reason),
                     qUtf8Printable(QFileInfo(verdict.setAsideAs).fileName()),
                     qUtf8Printable(kDatabaseName));
        m_failureSaid.clear();
        return Outcome::SetAside;
    case DamagedLog::Verdict::Kind::Moved:
        return Outcome::Moved;
    case DamagedLog::Verdict::Kind::Sound:
        m_soundVersion = version;
        m_nextCheckMs = now + kRecheckMs;
        return Outcome::None;
    case DamagedLog::Verdict::Kind::Busy:
        m_suspected = true; // tried again next cycle
        return Outcome::None;
    case DamagedLog::Verdict::Kind::Unavailable:
        m_suspected = true;
        m_nextCheckMs = now + kRecheckMs;
        if (m_failureSaid.isNew(verdict.reason))
            std::fprintf(stderr, "SystemLog: %s seems damaged but cannot be checked: %s\n",
                         qUtf8Printable(kDatabaseName), qUtf8Printable(verdict.reason));
        return Outcome::None;
    }
    return Outcome::None;
}

} // namespace SystemLog
