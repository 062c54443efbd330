// LogReader::selectKeys: the ids and stamps of a selection, read from the index on
// (type, datetime) alone, a chunk at a time.

#include "read/LogReaderPrivate.h"

#include "schema/RecordFilter.h"

#include <sqlite3.h>

#include <string>
#include <vector>

namespace SystemLog {

namespace {

// Index entries per statement: a chunk takes a few tens of milliseconds to read, so that a
// writer waits no longer than that for the reader's lock.
constexpr qint64 kKeyChunk = 65536;

} // namespace

bool LogReader::selectKeys(const LogSelection &selection, const KeyCallback &onKey)
{
    if (!d->db.failIfClosed())
        return false;
    // In stamp then id order, which the index yields without sorting: each chunk goes on from the
    // stamp where the last one ended, past the ids it took of that stamp. ?1 the highest id, ?2
    // the rows of a chunk, then the bounds; a later chunk's lower bound is that stamp instead of
    // the selection's, so that the index is entered right there.
    const RecordFilter::Span span =
        RecordFilter::Span::openWhereEmpty(selection.from, selection.to);
    const QByteArray head = "SELECT datetime, id FROM SystemInfo WHERE id <= ?1" +
                            RecordFilter::typeCondition(selection.types);
    const QByteArray order = " ORDER BY datetime, id LIMIT ?2";
    std::vector<QByteArray> texts;
    const QByteArray first = head + RecordFilter::spanCondition(span, 3, &texts) + order;
    std::vector<QByteArray> upper;
    const QByteArray below = RecordFilter::spanCondition({std::nullopt, span.to}, 4, &upper);
    const int lastIdAt = 4 + int(upper.size());
    const QByteArray next = head + " AND datetime >= ?3" + below +
                            " AND NOT (datetime = ?3 AND id <= ?" + QByteArray::number(lastIdAt) +
                            ")" + order;

    ValueCopy lastStamp;
    qint64 lastId = 0;
    std::vector<qint64> ids;
    std::string stamps;
    std::vector<size_t> ends;
    for (bool more = true; more;) {
        const QByteArray &sql = lastStamp ? next : first;
        Sqlite::Statement chunk(d->db.handle(),
                                std::string_view(sql.constData(), size_t(sql.size())));
        chunk.bind(1, selection.upToId).bind(2, kKeyChunk);
        if (lastStamp) {
            chunk.bind(3, lastStamp.get());
            RowChunk::bindTexts(chunk, 4, upper);
            chunk.bind(lastIdAt, lastId);
        } else {
            RowChunk::bindTexts(chunk, 3, texts);
        }
        ids.clear();
        stamps.clear();
        ends.clear();
        int rc;
        while ((rc = chunk.step()) == SQLITE_ROW) {
            // Where the next chunk goes on: the last entry's stamp as stored (a text, or another
            // program's number), taken before its text is asked for, which converts a number.
            if (qint64(ids.size()) + 1 == kKeyChunk) {
                lastStamp.reset(sqlite3_value_dup(chunk.value(0)));
                lastId = chunk.int64(1);
                if (!lastStamp)
                    return d->readFailed(SQLITE_NOMEM);
            }
            ids.push_back(chunk.int64(1));
            stamps.append(chunk.text(0));
            ends.push_back(stamps.size());
        }
        if (rc != SQLITE_DONE)
            return d->readFailed(rc);
        more = qint64(ids.size()) == kKeyChunk;
        size_t begin = 0;
        for (size_t i = 0; i < ids.size(); ++i) {
            if (!onKey(ids[i], std::string_view(stamps.data() + begin, ends[i] - begin)))
                return true;
            begin = ends[i];
        }
    }
    return true;
}

} // namespace SystemLog
