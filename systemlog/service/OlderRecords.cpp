#include "service/OlderRecords.h"

#include "service/LogFileNames.h"
#include "service/WriterReports.h"
#include "sqlite/Sqlite.h"
#include "store/QDBSqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace SystemLog {

void removeStaleSuperJournals()
{
    // A transaction over the log and the old side file together leaves a super-journal while
    // it commits; it is needed only while a journal of either file names it.
    const QDir dir = QFileInfo(kDatabaseName).absoluteDir();
    const QStringList superJournals =
        dir.entryList({kDatabaseName + QStringLiteral("-mj*")}, QDir::Files | QDir::Hidden);
    if (superJournals.isEmpty() || QFileInfo::exists(kDatabaseName + QStringLiteral("-journal")) ||
        QFileInfo::exists(kSideFileName + QStringLiteral("-journal")))
        return;
    for (const QString &name : superJournals)
        QFile::remove(dir.filePath(name));
}

OlderRecords::OlderRecords(WriterReports &reports)
    : m_reports(reports), m_oldSideFile(kSideFileName), m_spill(kSpillDirName)
{
    removeStaleSuperJournals();
}

OlderRecords::~OlderRecords()
{
    // A run that began beside a crashed one rolled its journals back on the way; the
    // super-journal they named may still be there.
    removeStaleSuperJournals();
}

void OlderRecords::sayMoved(const QString &from, long long *count, bool done)
{
    if (*count <= 0)
        return;
    std::fprintf(stderr, "SystemLog: %lld log records moved from %s into %s%s\n", *count,
                 qUtf8Printable(from), qUtf8Printable(kDatabaseName), done ? "" : " so far");
    *count = 0;
}

// The old side file's records are the oldest of all: while they move, nothing newer goes.
// Only a side file that another program holds lets newer records go ahead. Returns whether the
// other moves may follow in this cycle.
bool OlderRecords::moveOldSideFile(QDBSqlite &db, int budgetMs, Outcome *out)
{
    int moved = 0;
    QSqlError error;
    const PendingFile::Move move = m_oldSideFile.moveInto(db, budgetMs, &moved, &error);
    m_oldSideFileBlocked = false;
    if (moved > 0) {
        out->wrote = true;
        m_oldMovedUnsaid += moved;
    }
    if (move == PendingFile::Move::Partial) {
        out->waiting = true;
        return false;
    }
    sayMoved(kSideFileName, &m_oldMovedUnsaid, move == PendingFile::Move::Done);
    if (move == PendingFile::Move::Done) {
        m_storedAheadSaid = false;
        if (moved > 0)
            removeStaleSuperJournals();
        return true;
    }
    if (QDBSqlite::hasMoved(db.nativeHandle())) {
        out->failed = out->logMoved = true;
        out->error = error;
        return false;
    }
    if (QDBSqlite::refusesRecords(error) ||
        (QDBSqlite::isBusy(error) && !m_oldSideFile.heldByOther())) {
        out->failed = true;
        out->error = error;
        return false;
    }
    m_oldSideFileBlocked = true;
    m_oldSideFileError = error;
    return true;
}

void OlderRecords::takeSpilled(const Spill::SegmentMove &move, Outcome *out, bool own)
{
    if (move.moved > 0) {
        out->wrote = true;
        m_spillMovedUnsaid += move.moved;
    }
    m_reports.countLost(move.rejected, move.rejection.text());
    const bool done = move.state == Spill::SegmentMove::State::Done;
    if (own && !done)
        out->waiting = true;
    if (move.state == Spill::SegmentMove::State::Failed) {
        // Another process's segment that cannot be read now keeps nobody else waiting.
        if (own || move.logMoved || QDBSqlite::isBusy(move.error) ||
            QDBSqlite::refusesRecords(move.error)) {
            out->failed = true;
            out->logMoved = move.logMoved;
            out->error = move.logMoved ? Sqlite::movedError(kDatabaseName) : move.error;
        }
    }
}

OlderRecords::Outcome OlderRecords::move(QDBSqlite &db, int budgetMs, bool lookAround)
{
    Outcome out;
    if (lookAround && (m_oldSideFileBlocked || m_oldSideFile.exists()) &&
        !moveOldSideFile(db, budgetMs, &out))
        return out;
    sqlite3 *handle = db.nativeHandle();
    if (m_spill.ownWaiting() || lookAround) {
        takeSpilled(m_spill.moveOwn(handle, budgetMs), &out, true);
        if (out.failed)
            sayMoved(m_spill.path(), &m_spillMovedUnsaid, false);
        if (out.waiting || out.failed)
            return out;
    }
    if (lookAround) {
        const Spill::SegmentMove others = m_spill.moveOthers(handle, budgetMs);
        takeSpilled(others, &out, false);
        m_othersMoving = others.state == Spill::SegmentMove::State::Partial;
        if (m_othersMoving)
            return out;
    }
    sayMoved(m_spill.path(), &m_spillMovedUnsaid, true);
    return out;
}

void OlderRecords::storedAhead(long long firstId)
{
    if (!m_oldSideFileBlocked || m_storedAheadSaid || !m_oldSideFile.exists())
        return;
    std::fprintf(stderr,
                 "SystemLog: %s cannot be moved now (%s): newer records are stored in %s from id "
                 "%lld on, out of order ahead of the older ones in %s, which follow when it can "
                 "be moved\n",
                 qUtf8Printable(kSideFileName), qUtf8Printable(m_oldSideFileError.text()),
                 qUtf8Printable(kDatabaseName), firstId, qUtf8Printable(kSideFileName));
    m_storedAheadSaid = true;
}

void OlderRecords::close(QDBSqlite &db)
{
    m_spill.close(db.nativeHandle());
}

} // namespace SystemLog
