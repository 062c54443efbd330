#pragma once

// The inside of LogReader: its connection and the walk along the ids that every listing takes.
// Internal to the library.

#include "read/LogConnection.h"
#include "read/LogReader.h"
#include "read/MessageGrep.h"
#include "read/RowChunk.h"

#include <QByteArray>

#include <memory>
#include <vector>

struct sqlite3_value;

namespace SystemLog {

// A copy of a value read from a statement, to bind to a later one.
struct ValueDeleter
{
    void operator()(sqlite3_value *value) const;
};
using ValueCopy = std::unique_ptr<sqlite3_value, ValueDeleter>;

// A walk along the ids of a selection, a chunk at a time, upwards (oldest first) or downwards
// (newest first); NOT INDEXED: along the ids, with no sort. ?1 where a stretch of the walk starts,
// ?2 where it ends (both included), ?3 the rows of a chunk, then the bounds. What it has
// delivered counts over all its stretches.
struct Walk
{
    Walk(const LogSelection &walked, bool downwards);

    const LogSelection &selection;
    const bool down;
    const MessageGrep grep;
    QByteArray sql;
    std::vector<QByteArray> texts;
    RowChunk::Chunk chunk;
    qint64 delivered = 0;
    bool stopped = false;
    qint64 at = 0; // where the walk goes on: after a failure, the first id of the failed chunk
    qint64 lastDelivered = 0; // the id of the last row delivered, when `delivered` > 0
};

class LogReader::Private
{
public:
    LogConnection db;

    bool readFailed(int code) { return db.failCode(code, QStringLiteral("cannot read")); }
    // The highest id, for *none false; *none true when the file holds no records.
    bool topId(qint64 *top, bool *none);

    // The ids between which the selection lies (*empty: none), up to its upToId.
    bool idSpan(const LogSelection &selection, qint64 *first, qint64 *last, bool *empty);
    // Walks the ids from `start` to `end`, both included, in the walk's direction.
    bool walk(Walk &w, const RowCallback &onRow, qint64 start, qint64 end);
    bool selectNewestFirst(Walk &newestFirst, const RowCallback &onRow);

    // Reading a damaged file (DamagedWalk.cpp): the stretches of ids that could not be read by
    // the last selection, and why.
    QVector<LogReader::IdRange> unreadable;
    QString damage;
    // Whether the last failure was damage, which the salvage walks around (it is noted).
    bool isDamage();
    // The walk of w from `start` up to `end` (both included) around damaged pages: every row
    // that can be read is delivered in id order, the rest is noted in `unreadable`.
    bool salvage(Walk &w, const RowCallback &onRow, qint64 start, qint64 end);
    // newestFirst on a damaged file: the span up to `end` read upwards around the damage, then
    // delivered newest first (held in memory meanwhile).
    bool salvageNewestFirst(Walk &w, const RowCallback &onRow, qint64 lowest, qint64 end);

private:
    bool distinctTypes(std::vector<ValueCopy> *values, bool *hasNull, bool *tooMany);
    bool spanOf(const QByteArray &typeCondition, const std::vector<ValueCopy> &values,
                const LogSelection &selection, qint64 firstId, qint64 *first, qint64 *last,
                bool *empty);
    bool spanInIndex(const LogSelection &selection, qint64 firstId, qint64 *first, qint64 *last,
                     bool *empty, bool *found);
    // RowChunk::read, and when the full chunk holds one id only, every row of that id: a table
    // without a key may hold an id more times than a chunk has rows.
    bool readWholeIds(const Walk &w, qint64 from, qint64 to, RowChunk::Chunk *chunk, qint64 rows);
    // Delivers the chunk's first `end` rows that the walk's selection takes.
    void deliver(Walk &w, size_t end, const RowCallback &onRow);

    enum class Probe
    {
        Row,     // a row at or after the id was read (*found)
        End,     // no rows at or after the id
        Damaged, // the way to the id runs through damage
    };
    bool probe(qint64 from, qint64 to, Probe *result, qint64 *found);
    bool readableIds(qint64 from, qint64 to, std::vector<qint64> *ids, bool *broken);
    // Past damage from `from` on: the first id that can be read again (*next), the last id of
    // the stretch that cannot (*unreadableTo); *none when nothing up to `to` can be read.
    bool nextReadable(qint64 from, qint64 to, qint64 *unreadableTo, qint64 *next, bool *none);
    bool deliverIds(Walk &w, const RowCallback &onRow, const std::vector<qint64> &ids);
    void noteUnreadable(qint64 first, qint64 last);
};

} // namespace SystemLog
