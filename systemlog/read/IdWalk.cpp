// The walk along the ids that every listing of LogReader takes: the span of ids a selection lies
// in, found on the index on (type, datetime) when it has bounds, then read a chunk at a time.

#include "read/LogReaderPrivate.h"

#include "schema/RecordFilter.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace SystemLog {

namespace {

constexpr qint64 kLowestId = std::numeric_limits<qint64>::min();

// Beyond this many distinct type values (a file that other programs filled with all kinds of
// values), a listing between bounds walks the ids instead of seeking each value in the index.
constexpr int kMaxSeekedTypes = 64;

RecordFilter::Span spanOfSelection(const LogSelection &selection)
{
    return RecordFilter::Span::openWhereEmpty(selection.from, selection.to);
}

// The lowest id a selection reads: every id when afterId is the lowest value, else the one
// after it; false when no id can follow.
bool firstIdOf(const LogSelection &selection, qint64 *first)
{
    if (selection.afterId == std::numeric_limits<qint64>::max())
        return false;
    *first = selection.afterId == kLowestId ? kLowestId : selection.afterId + 1;
    return true;
}

// Rows to ask for in the next chunk: without a message filter every row read is delivered, so a
// small limit reads no more than it needs.
qint64 chunkRows(const LogSelection &selection, qint64 delivered)
{
    if (!selection.filtersMessages() && selection.limit >= 0)
        return std::max<qint64>(
            1, std::min<qint64>(RowChunk::kChunkRows, selection.limit - delivered));
    return RowChunk::kChunkRows;
}

} // namespace

void ValueDeleter::operator()(sqlite3_value *value) const
{
    sqlite3_value_free(value);
}

Walk::Walk(const LogSelection &walked, bool downwards)
    : selection(walked), down(downwards), grep(walked.grep, walked.pattern)
{
    sql = QByteArray("SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED WHERE ") +
          (down ? "id <= ?1 AND id >= ?2" : "id >= ?1 AND id <= ?2") +
          RecordFilter::spanCondition(spanOfSelection(selection), 4, &texts) +
          RecordFilter::typeCondition(selection.types) +
          (down ? " ORDER BY id DESC LIMIT ?3" : " ORDER BY id LIMIT ?3");
}

bool LogReader::Private::topId(qint64 *top, bool *none)
{
    const int rc = Sqlite::readNumber(db.handle(), "SELECT max(id) FROM SystemInfo", top, none);
    return rc == SQLITE_ROW || readFailed(rc);
}

bool LogReader::Private::distinctTypes(std::vector<ValueCopy> *values, bool *hasNull, bool *tooMany)
{
    // One index seek per value: the index on (type, datetime) yields the next value directly,
    // where SELECT DISTINCT would walk every entry. Each value is compared as SQLite orders the
    // column (numbers, then texts, then blobs), so every kind of value moves the walk on.
    values->clear();
    *tooMany = false;
    for (;;) {
        Sqlite::Statement next(
            db.handle(), values->empty() ? "SELECT min(type) FROM SystemInfo"
                                         : "SELECT min(type) FROM SystemInfo WHERE type > ?1");
        if (!values->empty())
            next.bind(1, values->back().get());
        const int rc = next.step();
        if (rc != SQLITE_ROW)
            return readFailed(rc);
        if (next.isNull(0))
            break;
        if (int(values->size()) == kMaxSeekedTypes) {
            *tooMany = true;
            return true;
        }
        values->emplace_back(sqlite3_value_dup(next.value(0)));
        if (!values->back())
            return readFailed(SQLITE_NOMEM);
    }
    qint64 exists = 0;
    const int rc = Sqlite::readNumber(
        db.handle(), "SELECT EXISTS(SELECT 1 FROM SystemInfo WHERE type IS NULL)", &exists);
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    *hasNull = exists != 0;
    return true;
}

bool LogReader::Private::spanOf(const QByteArray &typeCondition,
                                const std::vector<ValueCopy> &values, const LogSelection &selection,
                                qint64 firstId, qint64 *first, qint64 *last, bool *empty)
{
    // ?1: the first id, ?2.. the values, then the bounds.
    std::vector<QByteArray> texts;
    const QByteArray sql =
        "SELECT min(id), max(id) FROM SystemInfo WHERE " + typeCondition + " AND id >= ?1" +
        RecordFilter::spanCondition(spanOfSelection(selection), 2 + int(values.size()), &texts);
    Sqlite::Statement span(db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
    span.bind(1, firstId);
    for (size_t i = 0; i < values.size(); ++i)
        span.bind(2 + int(i), values[i].get());
    RowChunk::bindTexts(span, 2 + int(values.size()), texts);
    const int rc = span.step();
    if (rc != SQLITE_ROW)
        return readFailed(rc);
    if (span.isNull(0) || span.isNull(1))
        return true;
    *first = *empty ? span.int64(0) : std::min(*first, span.int64(0));
    *last = *empty ? span.int64(1) : std::max(*last, span.int64(1));
    *empty = false;
    return true;
}

bool LogReader::Private::spanInIndex(const LogSelection &selection, qint64 firstId, qint64 *first,
                                     qint64 *last, bool *empty, bool *found)
{
    // From the index on (type, datetime) alone, so that the rows read afterwards are those of the
    // selection (a day's records lie together by id) rather than the whole table.
    *found = false;
    if (!selection.types.isEmpty()) {
        *found = true;
        return spanOf("1" + RecordFilter::typeCondition(selection.types), {}, selection, firstId,
                      first, last, empty);
    }
    std::vector<ValueCopy> values;
    bool hasNull = false;
    bool tooMany = false;
    if (!distinctTypes(&values, &hasNull, &tooMany))
        return false;
    if (tooMany)
        return true;
    *found = true;
    if (!values.empty()) {
        QByteArray list;
        for (size_t i = 0; i < values.size(); ++i)
            list += (i == 0 ? "?" : ",?") + QByteArray::number(2 + int(i));
        if (!spanOf("type IN (" + list + ")", values, selection, firstId, first, last, empty))
            return false;
    }
    return !hasNull || spanOf("type IS NULL", {}, selection, firstId, first, last, empty);
}

bool LogReader::Private::idSpan(const LogSelection &selection, qint64 *first, qint64 *last,
                                bool *empty)
{
    *empty = true;
    qint64 firstId = 0;
    if (!firstIdOf(selection, &firstId))
        return true;
    bool found = false;
    const bool narrowed = !selection.from.isEmpty() || !selection.to.isEmpty();
    if (narrowed && !selection.alongIds &&
        !spanInIndex(selection, firstId, first, last, empty, &found))
        return false;
    if (!found) {
        // Without bounds (follow's polls), or with too many values to seek, the span runs from
        // afterId to the end, found by rowid; the bounds then apply to each row read.
        qint64 top = 0;
        bool none = true;
        if (!topId(&top, &none))
            return false;
        *first = firstId;
        *last = top;
        *empty = none || top < firstId;
    }
    *last = std::min(*last, selection.upToId);
    *empty = *empty || *last < *first;
    return true;
}

bool LogReader::Private::readWholeIds(const Walk &w, qint64 from, qint64 to, RowChunk::Chunk *chunk,
                                      qint64 rows)
{
    if (!RowChunk::read(db, w.sql, w.texts, from, to, chunk, rows))
        return false;
    // (A chunk cut short by a limit without --grep delivers enough rows: no more are needed.)
    if (rows < RowChunk::kChunkRows || chunk->rows.size() != size_t(rows) ||
        chunk->rows.front().id != chunk->rows.back().id)
        return true;
    const qint64 id = chunk->rows.front().id;
    return RowChunk::read(db, w.sql, w.texts, id, id, chunk, -1); // LIMIT -1: no limit
}

void LogReader::Private::deliver(Walk &w, size_t end, const RowCallback &onRow)
{
    const qint64 limit = w.selection.limit;
    for (size_t i = 0; i < end; ++i) {
        const LogRecordView r = w.chunk.view(w.chunk.rows[i]);
        if (!w.grep.matches(r.message))
            continue;
        if (limit >= 0 && w.delivered >= limit)
            break;
        ++w.delivered;
        w.lastDelivered = r.id;
        if (!onRow(r)) {
            w.stopped = true;
            return;
        }
    }
    w.stopped = limit >= 0 && w.delivered >= limit;
}

bool LogReader::Private::walk(Walk &w, const RowCallback &onRow, qint64 start, qint64 end)
{
    qint64 next = start;
    while (!w.stopped && (w.down ? next >= end : next <= end)) {
        const qint64 rows = chunkRows(w.selection, w.delivered);
        w.at = next;
        if (!readWholeIds(w, next, end, &w.chunk, rows))
            return false;
        const size_t complete = RowChunk::completeRows(w.chunk, rows);
        deliver(w, complete, onRow);
        if (w.chunk.rows.size() < size_t(rows) || w.stopped)
            break;
        if (complete < w.chunk.rows.size()) {
            next = w.chunk.rows[complete].id;
            continue;
        }
        // The end may be the lowest or the highest id there can be: no step goes past it.
        const qint64 reached = w.chunk.rows.back().id;
        if (reached == end)
            break;
        next = w.down ? reached - 1 : reached + 1;
    }
    return true;
}

bool LogReader::Private::selectNewestFirst(Walk &newestFirst, const RowCallback &onRow)
{
    const LogSelection &selection = newestFirst.selection;
    // The newest ids first, row by row: the last records of most selections (the whole file,
    // today, the last hour) lie there. Only when they do not suffice is the rest of the span
    // looked up on the index on (type, datetime), which costs a walk over the bounds' part of
    // the index but spares reading every newer row of an old range.
    qint64 top = 0;
    bool none = true;
    if (!topId(&top, &none))
        return false;
    top = std::min(top, selection.upToId);
    qint64 lowest = 0;
    if (none || !firstIdOf(selection, &lowest) || top < lowest)
        return true;
    // (Ids of other programs may lie near the lowest value: no bound wraps round.)
    const qint64 chunk = RowChunk::kChunkRows;
    const qint64 windowBottom =
        std::max(lowest, top < kLowestId + chunk ? kLowestId : top - chunk + 1);
    if (!walk(newestFirst, onRow, top, windowBottom))
        return false;
    if (newestFirst.stopped || windowBottom <= lowest)
        return true;
    qint64 first = 0;
    qint64 last = 0;
    bool empty = false;
    if (!idSpan(selection, &first, &last, &empty))
        return false;
    return empty ||
           walk(newestFirst, onRow, std::min(last, windowBottom - 1), std::max(lowest, first));
}

} // namespace SystemLog
