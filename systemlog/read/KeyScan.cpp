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
    // In stamp then id order, which the index yields without sorting: each chunk goes on after
    // the (stamp, id) where the last one ended. ?1 the highest id, ?2 the rows of a chunk, then
    // the bounds, then where the chunk starts.
    std::vector<QByteArray> texts;
    const QByteArray where =
        "SELECT datetime, id FROM SystemInfo WHERE id <= ?1" +
        RecordFilter::typeCondition(selection.types) +
        RecordFilter::spanCondition(RecordFilter::Span::openWhereEmpty(selection.from, selection.to),
                                    3, &texts);
    const int after = 3 + int(texts.size());
    const QByteArray order = " ORDER BY datetime, id LIMIT ?2";
    const QByteArray first = where + order;
    const QByteArray next = where + " AND (datetime, id) > (?" + QByteArray::number(after) + ", ?" +
                            QByteArray::number(after + 1) + ")" + order;

    ValueCopy lastStamp;
    qint64 lastId = 0;
    std::vector<qint64> ids;
    std::string stamps;
    std::vector<size_t> ends;
    for (bool more = true; more;) {
        const QByteArray &sql = lastStamp ? next : first;
        Sqlite::Statement chunk(d->db.handle(), std::string_view(sql.constData(), size_t(sql.size())));
        chunk.bind(1, selection.upToId).bind(2, kKeyChunk);
        RowChunk::bindTexts(chunk, 3, texts);
        if (lastStamp)
            chunk.bind(after, lastStamp.get()).bind(after + 1, lastId);
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
