#include "ListingFile.h"

#include "ListingIndex.h"
#include "ListingScan.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr qint64 kLowestId = std::numeric_limits<qint64>::min();
// Records whose ids lie closer together than this many ids per record are read in one walk
// along the ids; records further apart (a sparse category, the matches of a find) one by one.
constexpr qint64 kAlongPerRecord = 8;

} // namespace

ListingFile::ListingFile(const Query &query) : m_query(query) {}

ListingFile::~ListingFile() = default;

SystemLog::LogSelection ListingFile::selection() const
{
    SystemLog::LogSelection selection;
    selection.types = {m_query.type};
    selection.from = m_query.from;
    selection.to = m_query.to;
    return selection;
}

std::unique_ptr<ListingIndex> ListingFile::list(qint64 *lastId,
                                                const std::function<bool()> &keepGoing)
{
    m_failure.clear();
    // Taken before the file is opened: a file moved over the path meanwhile makes the two differ,
    // and the listing's other connections then refuse the file they find rather than read it.
    m_identity = SystemLog::FileIdentity::of(m_query.path);
    if (!m_reader.open(m_query.path))
        return nullptr;
    bool none = true;
    if (!m_reader.maxId(lastId, &none))
        return nullptr;
    if (none)
        return std::make_unique<ListingIndex>();
    SystemLog::LogSelection keys = selection();
    keys.upToId = *lastId;
    ListingScan scan(m_reader, m_query.path, m_identity, m_busyTimeoutMs);
    std::unique_ptr<ListingIndex> index = scan.run(keys, keepGoing);
    if (!index) {
        m_failure = scan.failure();
        m_failureIsTransient = scan.failureIsTransient();
    }
    return index;
}

bool ListingFile::extend(ListingIndex *index, qint64 afterId, qint64 upToId)
{
    SystemLog::LogSelection more = selection();
    more.afterId = afterId;
    more.upToId = upToId;
    more.alongIds = true;
    return m_reader.select(more, [index](const SystemLog::LogRecordView &r) {
        index->append(r.id, r.datetime);
        return true;
    });
}

ListingFile::Read ListingFile::read(const ListingIndex &index, const std::vector<int> &records,
                                    ListingText::Form form, const TextCallback &onText)
{
    if (records.empty())
        return Read::Done;
    std::vector<qint64> ids;
    ids.reserve(records.size());
    for (const int record : records)
        ids.push_back(index.id(record));
    std::vector<QString> texts(records.size());
    const quint64 span = quint64(ids.back()) - quint64(ids.front());
    const bool along = span <= quint64(kAlongPerRecord) * records.size() + 256;
    const bool ok = along ? readAlong(index, records, ids, form, &texts)
                          : readEach(index, records, ids, form, &texts);
    if (!ok)
        return m_reader.lastErrorIsTransient() ? Read::Busy : Read::Failed;
    for (size_t k = 0; k < records.size(); ++k)
        onText(records[k], texts[k].isNull()
                               ? ListingText::gap(index.stamp(records[k]), ListingText::Gap::Gone)
                               : texts[k]);
    return Read::Done;
}

// One walk over the ids from the first record to the last, with the listing's own filter; each
// row is matched to the records by id in turn (a table of another program may hold an id twice).
bool ListingFile::readAlong(const ListingIndex &index, const std::vector<int> &records,
                            const std::vector<qint64> &ids, ListingText::Form form,
                            std::vector<QString> *texts)
{
    SystemLog::LogSelection rows = selection();
    rows.afterId = ids.front() == kLowestId ? kLowestId : ids.front() - 1;
    rows.upToId = ids.back();
    rows.alongIds = true;
    size_t k = 0;
    return m_reader.select(rows, [&](const SystemLog::LogRecordView &r) {
        while (k < ids.size() && ids[k] < r.id)
            ++k;
        if (k < ids.size() && ids[k] == r.id) {
            if (index.hasStamp(records[k], r.datetime))
                (*texts)[k] = ListingText::record(r.datetime, r.message, form);
            ++k;
        }
        return k < ids.size();
    });
}

bool ListingFile::readEach(const ListingIndex &index, const std::vector<int> &records,
                           const std::vector<qint64> &ids, ListingText::Form form,
                           std::vector<QString> *texts)
{
    for (size_t k = 0; k < ids.size(); ++k) {
        if (k > 0 && ids[k] == ids[k - 1])
            continue; // read with the first record of that id
        size_t next = k;
        const bool ok = m_reader.recordAt(ids[k], [&](const SystemLog::LogRecordView &r) {
            // The listing's record only if it still is one of the query's, with its stamp.
            const bool ours = r.type.kind == SystemLog::StoredType::Kind::Integer &&
                              r.type.integer == m_query.type && r.datetimeIsText &&
                              next < ids.size() && ids[next] == r.id;
            if (ours && index.hasStamp(records[next], r.datetime))
                (*texts)[next] = ListingText::record(r.datetime, r.message, form);
            ++next;
            return true;
        });
        if (!ok)
            return false;
    }
    return true;
}
