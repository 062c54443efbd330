// Reading a damaged log: where a statement of a listing meets a page that SQLite finds malformed,
// the table is walked by id around it. Ids are read alone first (they lie in the table's leaf
// pages, without the messages), so that the stretch that can be read is known before its rows
// are; past the damage, seeks for ever larger ids find where the table can be read again, and a
// bisection finds the first of them.

#include "read/LogReaderPrivate.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <string>

namespace SystemLog {

namespace {

constexpr qint64 kHighestId = std::numeric_limits<qint64>::max();

bool isDamageCode(int rc)
{
    return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB;
}

// `from` moved on by `step`, but never past `to` (no overflow: ids may span all 64 bits).
qint64 ahead(qint64 from, quint64 step, qint64 to)
{
    return quint64(to) - quint64(from) <= step ? to : qint64(quint64(from) + step);
}

// A row kept while a damaged file is read for a listing newest first.
struct HeldRow
{
    qint64 id;
    StoredType::Kind kind;
    qint64 integer;
    bool datetimeIsText;
    std::string type, datetime, message;
};

} // namespace

bool LogReader::Private::isDamage()
{
    if (!db.lastErrorIsDamage())
        return false;
    if (damage.isEmpty())
        damage = db.errorString();
    return true;
}

void LogReader::Private::noteUnreadable(qint64 first, qint64 last)
{
    if (first > last)
        return;
    if (!unreadable.isEmpty() && unreadable.back().last < kHighestId &&
        unreadable.back().last + 1 >= first) {
        unreadable.back().last = std::max(unreadable.back().last, last);
        return;
    }
    unreadable.append({first, last});
}

bool LogReader::Private::probe(qint64 from, qint64 to, Probe *result, qint64 *found)
{
    Sqlite::Statement seek(db.handle(), "SELECT id FROM SystemInfo NOT INDEXED WHERE id >= ?1 "
                                        "AND id <= ?2 ORDER BY id LIMIT 1");
    seek.bind(1, from).bind(2, to);
    const int rc = seek.step();
    if (rc == SQLITE_ROW) {
        *result = Probe::Row;
        *found = seek.int64(0);
    } else if (rc == SQLITE_DONE) {
        *result = Probe::End;
    } else if (isDamageCode(rc)) {
        *result = Probe::Damaged;
    } else {
        return readFailed(rc);
    }
    return true;
}

bool LogReader::Private::readableIds(qint64 from, qint64 to, std::vector<qint64> *ids, bool *broken)
{
    ids->clear();
    *broken = false;
    Sqlite::Statement scan(db.handle(), "SELECT id FROM SystemInfo NOT INDEXED WHERE id >= ?1 "
                                        "AND id <= ?2 ORDER BY id LIMIT ?3");
    scan.bind(1, from).bind(2, to).bind(3, qint64(RowChunk::kChunkRows));
    int rc;
    while ((rc = scan.step()) == SQLITE_ROW)
        ids->push_back(scan.int64(0));
    if (rc == SQLITE_DONE)
        return true;
    if (!isDamageCode(rc))
        return readFailed(rc);
    *broken = true;
    return true;
}

bool LogReader::Private::nextReadable(qint64 from, qint64 to, qint64 *unreadableTo, qint64 *next,
                                      bool *none)
{
    Probe found = Probe::Damaged;
    qint64 id = 0;
    if (!probe(from, to, &found, &id))
        return false;
    qint64 damaged = from;
    qint64 passed = from;
    quint64 step = 1;
    while (found == Probe::Damaged) {
        if (damaged == to) {
            *unreadableTo = to;
            *none = true;
            return true;
        }
        passed = ahead(damaged, step, to);
        if (!probe(passed, to, &found, &id))
            return false;
        if (found == Probe::Damaged)
            damaged = passed;
        step = step > (quint64(1) << 62) ? quint64(kHighestId) : step * 2;
    }
    // The first seek that passes lies after `damaged`, at `passed` or before.
    if (passed != from) {
        while (quint64(passed) - quint64(damaged) > 1) {
            const qint64 middle =
                qint64(quint64(damaged) + (quint64(passed) - quint64(damaged)) / 2);
            Probe atMiddle = Probe::Damaged;
            qint64 idAtMiddle = 0;
            if (!probe(middle, to, &atMiddle, &idAtMiddle))
                return false;
            if (atMiddle == Probe::Damaged) {
                damaged = middle;
            } else {
                passed = middle;
                found = atMiddle;
                id = idAtMiddle;
            }
        }
    }
    *none = found == Probe::End;
    *next = found == Probe::End ? passed : id;
    *unreadableTo = *next - 1;
    return true;
}

bool LogReader::Private::deliverIds(Walk &w, const RowCallback &onRow,
                                    const std::vector<qint64> &ids)
{
    if (walk(w, onRow, ids.front(), ids.back()))
        return true;
    if (!isDamage())
        return false;
    // A row of its own that cannot be read (its message on a damaged overflow page): the rest
    // of the chunk is read one id at a time.
    for (const qint64 id : ids) {
        if (w.stopped)
            break;
        if (id < w.at)
            continue;
        if (!RowChunk::read(db, w.sql, w.texts, id, id, &w.chunk, -1)) {
            if (!isDamage())
                return false;
            noteUnreadable(id, id);
            continue;
        }
        deliver(w, w.chunk.rows.size(), onRow);
    }
    return true;
}

bool LogReader::Private::salvage(Walk &w, const RowCallback &onRow, qint64 start, qint64 end)
{
    qint64 at = start;
    std::vector<qint64> ids;
    while (!w.stopped && at <= end) {
        bool broken = false;
        if (!readableIds(at, end, &ids, &broken))
            return false;
        if (!ids.empty() && !deliverIds(w, onRow, ids))
            return false;
        if (w.stopped || (!ids.empty() && ids.back() == end))
            break;
        if (!broken) {
            if (ids.size() < size_t(RowChunk::kChunkRows))
                break;
            at = ids.back() + 1;
            continue;
        }
        const qint64 from = ids.empty() ? at : ids.back() + 1;
        qint64 unreadableTo = end;
        qint64 next = end;
        bool none = false;
        if (!nextReadable(from, end, &unreadableTo, &next, &none))
            return false;
        noteUnreadable(from, unreadableTo);
        if (none)
            break;
        // Each round moves on, whatever the file answers.
        if (next <= at) {
            noteUnreadable(at, at);
            if (at == end)
                break;
            next = at + 1;
        }
        at = next;
    }
    return true;
}

bool LogReader::Private::salvageNewestFirst(Walk &w, const RowCallback &onRow, qint64 lowest,
                                            qint64 end)
{
    // Upwards through what can be read, keeping the matching rows (at most the ones the limit
    // still takes, the newest), then delivered downwards.
    LogSelection upwards = w.selection;
    upwards.newestFirst = false;
    upwards.limit = -1;
    const qint64 keep = w.selection.limit < 0 ? -1 : w.selection.limit - w.delivered;
    std::vector<HeldRow> held;
    Walk up(upwards, false);
    const bool ok = salvage(
        up,
        [&](const LogRecordView &r) {
            held.push_back({r.id, r.type.kind, r.type.integer, r.datetimeIsText,
                            std::string(r.type.text), std::string(r.datetime),
                            std::string(r.message)});
            if (keep >= 0 && held.size() > size_t(2 * keep + 1024))
                held.erase(held.begin(), held.end() - keep);
            return true;
        },
        lowest, end);
    if (!ok)
        return false;
    for (auto it = held.crbegin(); it != held.crend(); ++it) {
        if (keep >= 0 && qint64(it - held.crbegin()) >= keep)
            break;
        LogRecordView r;
        r.id = it->id;
        r.type.kind = it->kind;
        r.type.integer = it->integer;
        r.type.text = it->type;
        r.datetimeIsText = it->datetimeIsText;
        r.datetime = it->datetime;
        r.message = it->message;
        if (!onRow(r))
            break;
    }
    return true;
}

} // namespace SystemLog
